"""What the service reports about an order, from a callback or a query,
parsed: the stage its codes show, and its amounts as it sent them. Moving a
payment by it is `moves.apply`'s."""

from __future__ import annotations

from dataclasses import dataclass

from tavori_pay import OrderStatus

from .models import Payment
from .money import money
from .transitions import Status

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
