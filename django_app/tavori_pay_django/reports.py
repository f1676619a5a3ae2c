"""What the service reports about an order, from a callback or a query, and
its one way into a payment: `apply`, called with the payment row locked."""

from __future__ import annotations

import datetime as dt
from collections.abc import Iterable
from dataclasses import dataclass
from decimal import Decimal, InvalidOperation

from django.conf import settings
from django.contrib.contenttypes.models import ContentType
from django.db import connections, router
from django.utils import timezone
from tavori_pay import OrderStatus

from . import plain_sql
from .delivery import events
from .models import Payment
from .references import lock_in_statement, lock_reference, lock_references
from .transitions import PAID_STAGES, UNPAID_ENDS, Decision, Outcome, Status, decide

CENT = Decimal("0.01")

# The service's order codes, as it reports them to a status query.
PAY_PAID, PAY_DECLINED, PAY_EXPIRED = 1, 2, 3
SETTLE_SETTLED, SETTLE_REVERSED = 1, 2
REFUND_REFUNDED = 1
# What a callback's status names.
CALLBACK_STATUSES = {"paid": Status.PAID, "failed": Status.FAILED, "expired": Status.EXPIRED,
                     "settled": Status.SETTLED, "refunded": Status.REFUNDED}


@dataclass(frozen=True)
class Report:
    status: Status
    amount: str
    settle_amount: str = ""
    reason: str = ""
    expired: str = ""

    def amount_matches(self, payment: Payment) -> bool:
        return money(self.amount) == payment.amount


def from_callback(fields: dict[str, str]) -> Report | None:
    """The report a verified callback makes; None for a status it does not know."""
    status = CALLBACK_STATUSES.get(fields.get("status", ""))
    if status is None:
        return None
    return Report(status, fields.get("amount", ""), fields.get("settle_amount", ""), fields.get("reason", ""),
                  fields.get("expired", ""))


def from_order_status(order: OrderStatus) -> Report:
    """The report an OrderStatus makes: the furthest stage its codes show."""
    if order.refund_status == REFUND_REFUNDED or order.settle_status == SETTLE_REVERSED:
        status = Status.REFUNDED
    elif order.settle_status == SETTLE_SETTLED:
        status = Status.SETTLED
    else:
        status = {PAY_PAID: Status.PAID, PAY_DECLINED: Status.FAILED, PAY_EXPIRED: Status.EXPIRED}.get(
            order.pay_status, Status.PENDING)
    return Report(status, order.amount, order.settle_amount, order.fail_reason, order.expired)


class HeldReferences:
    """References held until the transaction ends, taken in the order of
    their keys, and those of them that a payment was paid for: what `apply`
    needs to know of a batch of payments without a query for each."""

    def __init__(self, alias: str, references: Iterable[str]):
        self.alias, self.held = alias, set(references)
        lock_references(alias, self.held)
        self.paid = set(Payment.objects.using(alias).filter(reference__in=self.held, status__in=PAID_STAGES)
                        .values_list("reference", flat=True))

    def other_paid_order(self, payment: Payment) -> str | None:
        if payment.reference not in self.held:
            lock_reference(self.alias, payment.reference)
        elif payment.reference not in self.paid:
            self.paid.add(payment.reference)
            return None
        return _other_paid_order(payment, self.alias)


def apply(payment: Payment, report: Report, *, references: HeldReferences | None = None) -> Decision:
    """Moves a locked payment as the report says, saves it and writes the
    events of the move, delivered once the transaction commits.
    `references`: those the caller holds, for a batch."""
    alias = payment._state.db or router.db_for_write(Payment)
    previous = Status(payment.status)
    decision = decide(previous, report.status, report.amount_matches(payment))
    changed, reviews = [], []
    held_by_save = None  # the reference's lock, taken by the payment's UPDATE
    if decision.outcome is Outcome.AMOUNT_MISMATCH:
        reviews.append((events.AMOUNT_MISMATCH, f"the service reports {report.amount[:40] or 'no amount'} "
                                                f"{payment.currency} for a payment of {payment.amount}"))
    elif decision.needs_review:
        reviews.append((events.PAID_AFTER_END,
                        f"{report.status.value} after {previous.value}: money was taken for an ended payment"))
    if decision.changed:
        payment.status = decision.status
        changed.append("status")
        if decision.status in UNPAID_ENDS:
            payment.failure_reason = report.reason[:255]
            changed.append("failure_reason")
        if report.settle_amount and payment.settled_amount is None and decision.status in (Status.SETTLED,
                                                                                           Status.REFUNDED):
            settled = _settled_amount(report.settle_amount, payment.amount)
            if settled is None:
                reviews.append((events.SETTLED_AMOUNT, f"the service reports a settled amount of "
                                                       f"{report.settle_amount[:40]!r} for a payment of "
                                                       f"{payment.amount} {payment.currency}; not stored"))
            else:
                payment.settled_amount = settled
                changed.append("settled_amount")
        if previous not in PAID_STAGES and decision.status in PAID_STAGES:
            # Serialised per reference: two payments paid at the same moment see each other.
            if references is not None:
                other = references.other_paid_order(payment)
            elif (held_by_save := lock_in_statement(alias, payment.reference)) is None:
                lock_reference(alias, payment.reference)
                other = _other_paid_order(payment, alias)
            else:
                other = None  # asked once the save below holds the reference
            if other is not None:
                reviews.append(_paid_twice(payment, other))
            if payment.order_type_id is not None and (missing := _missing_order(payment.order_type_id,
                                                                                 payment.order_key)) is not None:
                reviews.append((events.ORDER_MISSING, f"money taken for {missing}, an order the shop does not "
                                                      "have (its checkout was rolled back, or it was deleted): "
                                                      "refund the payment at the service, or restore the order"))
    expires_at = _time(report.expired)
    if expires_at is not None and payment.expires_at != expires_at:
        payment.expires_at = expires_at
        changed.append("expires_at")
    if reviews and not payment.needs_review:
        payment.needs_review = True
        changed.append("needs_review")
    if changed:
        plain_sql.save(payment, alias, [*changed, "updated_at"], returning=held_by_save)
    if held_by_save is not None and (other := _other_paid_order(payment, alias)) is not None:
        reviews.append(_paid_twice(payment, other))
        if not payment.needs_review:
            payment.needs_review = True
            plain_sql.save(payment, alias, ["needs_review", "updated_at"])
    events.record(payment, previous, decision.status if decision.changed else None, reviews,
                  was_settled=bool(report.settle_amount))
    return decision


def _missing_order(order_type_id: int, order_key: str) -> str | None:
    """The shop's order a payment was started for, named, when the shop
    does not have it; None when it does."""
    order_type = ContentType.objects.get_for_id(order_type_id)
    name, model = f"{order_type.app_label}.{order_type.model} {order_key}", order_type.model_class()
    if model is None:  # its app was removed
        return name
    try:
        found = model._default_manager.using(router.db_for_read(model)).filter(pk=order_key).exists()
    except (ValueError, TypeError):  # a key this model's primary key cannot be
        found = False
    return None if found else name


def _paid_twice(payment: Payment, other: str) -> tuple[str, str]:
    return events.PAID_TWICE, f"paid twice: {other} for the same reference {payment.reference} was paid too"


def _other_paid_order(payment: Payment, alias: str) -> str | None:
    """The order id of the first other payment for the same shop reference
    whose money was taken."""
    with connections[alias].cursor() as cursor:
        cursor.execute(f"SELECT order_id FROM {plain_sql.shape(alias, Payment).table} WHERE reference = %s AND status "
                       f"IN ({plain_sql.placeholders(len(PAID_STAGES))}) AND id <> %s ORDER BY created_at LIMIT 1",
                       [payment.reference, *(status.value for status in PAID_STAGES), payment.pk])
        row = cursor.fetchone()
    return None if row is None else str(row[0])


def _settled_amount(text: str, amount: Decimal) -> Decimal | None:
    """What the merchant received, when it is a plain decimal with at most
    two fraction digits from 0 to the payment's amount; else None."""
    value = money(text)
    if value is None or not Decimal(0) <= value <= amount or value != value.quantize(CENT):
        return None
    return value.quantize(CENT)


def money(text: str) -> Decimal | None:
    """The service's amount text as a Decimal; None when it is not a finite
    plain number."""
    if not isinstance(text, str) or not text.isascii() or len(text) > 40:
        return None
    try:
        value = Decimal(text)
    except (InvalidOperation, TypeError):
        return None
    return value if value.is_finite() else None


def _time(text: str) -> dt.datetime | None:
    """The service's UTC time, as the project stores times: aware with
    USE_TZ, else naive in the project's time zone."""
    try:
        value = dt.datetime.strptime(text, "%Y-%m-%d %H:%M:%S").replace(tzinfo=dt.UTC)
    except (ValueError, TypeError):
        return None
    return value if settings.USE_TZ else timezone.make_naive(value)
