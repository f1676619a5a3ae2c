"""Every move of a payment, decided in one place: from the payment's status
and what the service says happened, the status it ends in. Callbacks,
reconciliation and the admin all go through `decide`.

A payment only moves forward. Callbacks come late, twice and out of order
(`settled` may come before `paid` while `paid` is being retried), so what a
later stage implies is taken as given: `settled` means it was paid. A `paid`
after `failed` or `expired` means the money was taken after all: it wins,
and the payment is flagged for a person to look at. A move that skips a
stage stands for each stage it skips (`moves`), so that the shop hears of
every payment whose money was taken as `paid`, whatever came first."""

from __future__ import annotations

from dataclasses import dataclass
from enum import StrEnum


class Status(StrEnum):
    PENDING = "pending"
    PAID = "paid"
    FAILED = "failed"
    EXPIRED = "expired"
    SETTLED = "settled"
    REFUNDED = "refunded"


# How far along each status is. failed and expired end an unpaid payment;
# the stages of a paid one come after them.
STAGE = {Status.PENDING: 0, Status.FAILED: 1, Status.EXPIRED: 1, Status.PAID: 2, Status.SETTLED: 3,
         Status.REFUNDED: 4}
UNPAID_ENDS = (Status.FAILED, Status.EXPIRED)
# Statuses of a payment whose money was taken.
PAID_STAGES = (Status.PAID, Status.SETTLED, Status.REFUNDED)
# Statuses a payment can still leave on its own: reconciliation asks about
# these on every run.
OPEN = (Status.PENDING, Status.PAID)
# Statuses a late callback or a refund can still change: asked about less
# often, for a while. A refund is final.
ENDED = (Status.FAILED, Status.EXPIRED, Status.SETTLED)


class Outcome(StrEnum):
    """What one report of the service did to a payment, as a stored code."""
    APPLIED = "applied"
    DUPLICATE = "duplicate"
    STALE = "stale"
    AMOUNT_MISMATCH = "amount_mismatch"
    UNKNOWN_ORDER = "unknown_order"
    BAD_SIGNATURE = "bad_signature"
    MALFORMED = "malformed"

    @property
    def label(self) -> str:
        return self.value.replace("_", " ")


@dataclass(frozen=True)
class Decision:
    status: Status
    outcome: Outcome
    needs_review: bool = False

    @property
    def changed(self) -> bool:
        return self.outcome is Outcome.APPLIED


def decide(current: Status, observed: Status, amount_matches: bool = True) -> Decision:
    """The status a payment in `current` takes when the service reports
    `observed`; `amount_matches` says whether the reported amount is the
    payment's."""
    current, observed = Status(current), Status(observed)
    if observed is Status.PENDING or observed == current:
        return Decision(current, Outcome.DUPLICATE)
    if not amount_matches and observed not in UNPAID_ENDS:
        return Decision(current, Outcome.AMOUNT_MISMATCH, needs_review=True)
    if STAGE[observed] <= STAGE[current]:
        return Decision(current, Outcome.STALE)
    return Decision(observed, Outcome.APPLIED, needs_review=current in UNPAID_ENDS)


def moves(previous: Status, new: Status, was_settled: bool = False) -> list[tuple[Status, Status]]:
    """The moves, one stage each, that a change from `previous` to `new`
    stands for, in order: a settled or refunded payment was paid first, and
    a refunded one that `was_settled` was settled before its refund."""
    previous, new = Status(previous), Status(new)
    steps: list[tuple[Status, Status]] = []
    if new in (Status.SETTLED, Status.REFUNDED) and previous not in (Status.PAID, Status.SETTLED):
        steps.append((previous, Status.PAID))
        previous = Status.PAID
    if new is Status.REFUNDED and was_settled and previous is Status.PAID:
        steps.append((previous, Status.SETTLED))
        previous = Status.SETTLED
    steps.append((previous, new))
    return steps
