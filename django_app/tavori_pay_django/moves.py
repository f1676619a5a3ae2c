"""The one write path of a payment: `apply` moves a locked payment as the
service reports, saves it and writes the events of the move, whichever
source the report came from (a callback, reconciliation, the return page),
and decides, under the reference's lock, whether a payment moving to paid
is the reference's second."""

from __future__ import annotations

import datetime as dt
from collections.abc import Iterable

from django.conf import settings
from django.contrib.contenttypes.models import ContentType
from django.db import router
from django.utils import timezone

from . import db
from .delivery import events
from .locks import lock_reference, lock_references, reference_key
from .models import Payment
from .money import settled_amount
from .reports import Report
from .transitions import PAID_STAGES, UNPAID_ENDS, Decision, Outcome, Status, decide


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
        return db.operations(self.alias).other_paid_order(payment)


def apply(payment: Payment, report: Report, *, references: HeldReferences | None = None) -> Decision:
    """Moves a locked payment as the report says, saves it and writes the
    events of the move, delivered once the transaction commits.
    `references`: those the caller holds, for a batch."""
    alias = payment._state.db or router.db_for_write(Payment)
    operations = db.operations(alias)
    previous = Status(payment.status)
    decision = decide(previous, report.status, report.amount_matches(payment))
    changed, reviews = [], []
    if decision.outcome is Outcome.AMOUNT_MISMATCH:
        reviews.append((events.AMOUNT_MISMATCH, f"the service reports {report.amount[:40] or 'no amount'} "
                                                f"{payment.currency} for a payment of {payment.amount}"))
    elif decision.needs_review:
        reviews.append((events.PAID_AFTER_END,
                        f"{report.status.value} after {previous.value}: money was taken for an ended payment"))
    paid_now = decision.changed and previous not in PAID_STAGES and decision.status in PAID_STAGES
    if decision.changed:
        payment.status = decision.status
        changed.append("status")
        if decision.status in UNPAID_ENDS:
            payment.failure_reason = report.reason[:255]
            changed.append("failure_reason")
        if report.settle_amount and payment.settled_amount is None and decision.status in (Status.SETTLED,
                                                                                           Status.REFUNDED):
            settled = settled_amount(report.settle_amount, payment.amount)
            if settled is None:
                reviews.append((events.SETTLED_AMOUNT, f"the service reports a settled amount of "
                                                       f"{report.settle_amount[:40]!r} for a payment of "
                                                       f"{payment.amount} {payment.currency}; not stored"))
            else:
                payment.settled_amount = settled
                changed.append("settled_amount")
        if paid_now:
            # Serialised per reference: two payments paid at the same moment see each other.
            if references is not None and (other := references.other_paid_order(payment)) is not None:
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
    if paid_now and references is None:
        # One call: the save, under the reference's lock, and the reference's other paid payment.
        if (other := operations.save_paid(payment, [*changed, "updated_at"], reference_key(payment.reference))):
            reviews.append(_paid_twice(payment, other))
            if not payment.needs_review:
                payment.needs_review = True
                operations.save(payment, ["needs_review", "updated_at"])
    elif changed:
        operations.save(payment, [*changed, "updated_at"])
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


def _time(text: str) -> dt.datetime | None:
    """The service's UTC time, as the project stores times: aware with
    USE_TZ, else naive in the project's time zone."""
    try:
        value = dt.datetime.strptime(text, "%Y-%m-%d %H:%M:%S").replace(tzinfo=dt.UTC)
    except (ValueError, TypeError):
        return None
    return value if settings.USE_TZ else timezone.make_naive(value)
