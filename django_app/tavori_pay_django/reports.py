"""What the service reports about an order, from a callback or a query, and
its one way into a payment: `apply`, called with the payment row locked."""

from __future__ import annotations

import datetime as dt
from dataclasses import dataclass
from decimal import Decimal, InvalidOperation
from . import events
from .models import Payment
from .transitions import UNPAID_ENDS, Decision, Outcome, Status, decide

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
        return _money(self.amount) == payment.amount


def from_callback(fields: dict[str, str]) -> Report | None:
    """The report a verified callback makes; None for a status it does not know."""
    status = CALLBACK_STATUSES.get(fields.get("status", ""))
    if status is None:
        return None
    return Report(status, fields.get("amount", ""), fields.get("settle_amount", ""), fields.get("reason", ""),
                  fields.get("expired", ""))


def from_order_status(order) -> Report:
    """The report an OrderStatus makes: the furthest stage its codes show."""
    if order.refund_status == REFUND_REFUNDED or order.settle_status == SETTLE_REVERSED:
        status = Status.REFUNDED
    elif order.settle_status == SETTLE_SETTLED:
        status = Status.SETTLED
    else:
        status = {PAY_PAID: Status.PAID, PAY_DECLINED: Status.FAILED, PAY_EXPIRED: Status.EXPIRED}.get(
            order.pay_status, Status.PENDING)
    return Report(status, order.amount, order.settle_amount, order.fail_reason, order.expired)


def apply(payment: Payment, report: Report) -> Decision:
    """Moves a locked payment as the report says, saves it and writes the
    events of the move, delivered once the transaction commits."""
    previous = Status(payment.status)
    decision = decide(previous, report.status, report.amount_matches(payment))
    changed = []
    if decision.changed:
        payment.status = decision.status
        changed.append("status")
        if decision.status in UNPAID_ENDS:
            payment.failure_reason = report.reason[:255]
            changed.append("failure_reason")
        settled = _money(report.settle_amount)
        if settled is not None and payment.settled_amount is None and decision.status in (Status.SETTLED,
                                                                                         Status.REFUNDED):
            payment.settled_amount = settled
            changed.append("settled_amount")
    expires_at = _time(report.expired)
    if expires_at is not None and payment.expires_at != expires_at:
        payment.expires_at = expires_at
        changed.append("expires_at")
    if decision.needs_review and not payment.needs_review:
        payment.needs_review = True
        changed.append("needs_review")
    if changed:
        payment.save(update_fields=[*changed, "updated_at"])
    reviews = []
    if decision.outcome is Outcome.AMOUNT_MISMATCH:
        reviews.append((events.AMOUNT_MISMATCH, f"the service reports {report.amount or 'no amount'} "
                                                f"{payment.currency} for a payment of {payment.amount}"))
    elif decision.needs_review:
        reviews.append((events.PAID_AFTER_END,
                        f"{report.status.value} after {previous.value}: money was taken for an ended payment"))
    events.record(payment, previous, decision.status if decision.changed else None, reviews,
                  was_settled=bool(report.settle_amount))
    return decision


def _money(text: str) -> Decimal | None:
    try:
        value = Decimal(text)
    except (InvalidOperation, TypeError):
        return None
    return value if value.is_finite() else None


def _time(text: str) -> dt.datetime | None:
    try:
        return dt.datetime.strptime(text, "%Y-%m-%d %H:%M:%S").replace(tzinfo=dt.UTC)
    except (ValueError, TypeError):
        return None
