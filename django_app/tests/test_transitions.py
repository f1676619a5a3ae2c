"""The one function that moves a payment: every status against every report."""

import itertools

import pytest

from tavori_pay_django.transitions import STAGE, Outcome, Status, decide

EXPECTED = {
    # (current, observed): (status afterwards, outcome, needs review)
    (Status.PENDING, Status.PAID): (Status.PAID, Outcome.APPLIED, False),
    (Status.PENDING, Status.FAILED): (Status.FAILED, Outcome.APPLIED, False),
    (Status.PENDING, Status.EXPIRED): (Status.EXPIRED, Outcome.APPLIED, False),
    (Status.PENDING, Status.SETTLED): (Status.SETTLED, Outcome.APPLIED, False),
    (Status.PENDING, Status.REFUNDED): (Status.REFUNDED, Outcome.APPLIED, False),
    (Status.FAILED, Status.PAID): (Status.PAID, Outcome.APPLIED, True),
    (Status.EXPIRED, Status.PAID): (Status.PAID, Outcome.APPLIED, True),
    (Status.EXPIRED, Status.SETTLED): (Status.SETTLED, Outcome.APPLIED, True),
    (Status.FAILED, Status.REFUNDED): (Status.REFUNDED, Outcome.APPLIED, True),
    (Status.FAILED, Status.EXPIRED): (Status.FAILED, Outcome.STALE, False),
    (Status.EXPIRED, Status.FAILED): (Status.EXPIRED, Outcome.STALE, False),
    (Status.PAID, Status.FAILED): (Status.PAID, Outcome.STALE, False),
    (Status.PAID, Status.SETTLED): (Status.SETTLED, Outcome.APPLIED, False),
    (Status.PAID, Status.REFUNDED): (Status.REFUNDED, Outcome.APPLIED, False),
    (Status.SETTLED, Status.PAID): (Status.SETTLED, Outcome.STALE, False),
    (Status.SETTLED, Status.REFUNDED): (Status.REFUNDED, Outcome.APPLIED, False),
    (Status.REFUNDED, Status.SETTLED): (Status.REFUNDED, Outcome.STALE, False),
    (Status.REFUNDED, Status.PAID): (Status.REFUNDED, Outcome.STALE, False),
}


@pytest.mark.parametrize("current, observed", list(itertools.product(Status, Status)))
def test_every_status_against_every_report(current, observed):
    decision = decide(current, observed)
    if observed == current or observed is Status.PENDING:
        assert (decision.status, decision.outcome, decision.needs_review) == (current, Outcome.DUPLICATE, False)
    elif (current, observed) in EXPECTED:
        assert (decision.status, decision.outcome, decision.needs_review) == EXPECTED[current, observed]
    else:
        # What the table leaves out still only moves forward.
        assert STAGE[decision.status] >= STAGE[current]


@pytest.mark.parametrize("current", list(Status))
@pytest.mark.parametrize("observed", [Status.PAID, Status.SETTLED, Status.REFUNDED])
def test_a_wrong_amount_never_moves_a_payment_and_asks_for_review(current, observed):
    decision = decide(current, observed, amount_matches=False)
    assert decision.status == current
    if observed != current:
        assert (decision.outcome, decision.needs_review) == (Outcome.AMOUNT_MISMATCH, True)


def test_no_sequence_of_reports_moves_a_payment_back():
    for reports in itertools.product(list(Status), repeat=3):
        status = Status.PENDING
        for observed in reports:
            after = decide(status, observed).status
            assert STAGE[after] >= STAGE[status]
            status = after
