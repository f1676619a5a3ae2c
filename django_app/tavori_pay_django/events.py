"""The events a move writes: one per stage the payment reached, the stages
the move implies included, and one per reason it needs review. They are
written in the move's transaction and delivered after its commit."""

from __future__ import annotations

from collections.abc import Sequence
from functools import partial

from django.db import router, transaction

from .dispatch import deliver_after_commit
from .models import Payment, PaymentEvent
from .transitions import Status, moves

# What a review event is about: its stage, unique per payment.
AMOUNT_MISMATCH = "amount mismatch"
PAID_AFTER_END = "paid after end"
PAID_TWICE = "paid twice"
SETTLED_AMOUNT = "settled amount"


def record(payment: Payment, previous: Status, new: Status | None,
           reviews: Sequence[tuple[str, str]] = (), was_settled: bool = False) -> None:
    """Writes the events of a locked payment's move from `previous` to `new`
    (None: it did not move; `was_settled`: a refund came after settlement)
    and of its `reviews` (about, reason), and has them delivered once the
    transaction commits. A stage or review the payment already announced is
    not written again."""
    steps = moves(previous, new, was_settled) if new is not None else []
    rows = [PaymentEvent(payment=payment, kind=PaymentEvent.STATUS, stage=stage.value, previous=before.value)
            for before, stage in steps]
    rows += [PaymentEvent(payment=payment, kind=PaymentEvent.REVIEW, stage=about, reason=reason[:255])
             for about, reason in reviews]
    if not rows:
        return
    alias = router.db_for_write(PaymentEvent)
    PaymentEvent.objects.using(alias).bulk_create(rows, ignore_conflicts=True)
    transaction.on_commit(partial(deliver_after_commit, payment.pk), using=alias)
