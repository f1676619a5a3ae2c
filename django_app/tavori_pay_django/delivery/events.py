"""The events a move writes: one per stage the payment reached, the stages
the move implies included, and one per reason it needs review, each naming
the receivers it is for. They are written in the move's transaction and
delivered after its commit (`after_commit`)."""

from __future__ import annotations

from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from contextvars import ContextVar

from django.db import router

from .. import db
from ..models import Payment, PaymentEvent
from ..transitions import Status, moves
from . import after_commit
from .signals import SIGNAL_OF

# What a review event is about: its stage, a code unique per payment.
AMOUNT_MISMATCH = "amount_mismatch"
ORDER_MISSING = "order_missing"
PAID_AFTER_END = "paid_after_end"
PAID_TWICE = "paid_twice"
SETTLED_AMOUNT = "settled_amount"

# The events of the moves made within written_together, while it is open.
_kept: ContextVar[list[PaymentEvent] | None] = ContextVar("tavori_pay_events_kept", default=None)


def record(payment: Payment, previous: Status, new: Status | None,
           reviews: Sequence[tuple[str, str]] = (), was_settled: bool = False) -> None:
    """Writes the events of a locked payment's move from `previous` to `new`
    (None: it did not move; `was_settled`: a refund came after settlement)
    and of its `reviews` (code, reason), and has them delivered once the
    outermost transaction commits. A stage or review the payment already
    announced is not written again."""
    steps = moves(previous, new, was_settled) if new is not None else []
    receivers = {kind: "\n".join(signal.receivers_for_payments(Payment).named) for kind, signal in SIGNAL_OF.items()}
    rows = [PaymentEvent(payment=payment, kind=PaymentEvent.STATUS, stage=stage.value, previous=before.value,
                         receivers=receivers[PaymentEvent.STATUS]) for before, stage in steps]
    rows += [PaymentEvent(payment=payment, kind=PaymentEvent.REVIEW, stage=code, reason=reason[:255],
                          receivers=receivers[PaymentEvent.REVIEW]) for code, reason in reviews]
    if not rows:
        return
    kept = _kept.get()
    if kept is not None:
        kept.extend(rows)
    else:
        _write(rows)


@contextmanager
def written_together() -> Iterator[None]:
    """Within it, the events `record` makes are kept, and written in one
    statement when it ends, in the transaction still open: a batch of
    reconciliation's moves."""
    rows: list[PaymentEvent] = []
    token = _kept.set(rows)
    try:
        yield
    finally:
        _kept.reset(token)
    if rows:
        _write(rows)


def _write(rows: list[PaymentEvent]) -> None:
    """The events written, and each payment's delivered once the outermost
    transaction commits; none when each was written already (a callback
    delivered again), so that no retry time is cut short."""
    alias = router.db_for_write(PaymentEvent)
    if not db.operations(alias).insert_ignoring_conflicts(rows):
        return
    for payment_id in dict.fromkeys(row.payment_id for row in rows):
        after_commit.schedule(payment_id, alias)
