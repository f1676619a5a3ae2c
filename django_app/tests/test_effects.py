"""once(event, key): an effect outside the database done at most once per
event, whatever the receiver around it does, and a process that died inside
it flagged for a person rather than repeated."""

from __future__ import annotations

import io
from contextlib import suppress
from decimal import Decimal

import pytest
from conftest import callback_fields, post_callback, signed
from django.core.management import CommandError, call_command
from django.db import transaction

from tavori_pay_django import once
from tavori_pay_django.models import Payment, PaymentEvent

pytestmark = pytest.mark.django_db(transaction=True)


class ProcessDied(BaseException):
    """What a receiver's process meets when it is killed: nothing after it runs."""


@pytest.fixture
def payment():
    return Payment.objects.create(order_id="T-once-1", reference="order-1", amount=Decimal("25.00"), currency="CNY",
                                  recipient_account="artist", pay_url="http://x/pay")


def dispatch() -> None:
    """A dispatch run; one that leaves an event undelivered fails, as cron sees it."""
    with suppress(CommandError):
        call_command("tavori_pay_dispatch", "--ignore-backoff", stdout=io.StringIO(), stderr=io.StringIO(),
                     verbosity=0)


def test_an_effect_runs_once_whether_the_receiver_raises_after_it_or_its_writes_roll_back(client, payment, connect,
                                                                                         tmp_path):
    mailbox, attempts = tmp_path / "mailbox", []

    @connect
    def confirm(sender, payment, new, event, **kwargs):
        attempts.append(new)
        with once(event, "confirmation email") as due:
            if due:
                with mailbox.open("a") as mail:
                    mail.write(f"{payment.order_id} {new}\n")
        Payment.objects.filter(pk=payment.pk).update(failure_reason="written by the receiver")
        if len(attempts) < 3:
            raise ConnectionError("the warehouse hung up")  # after the email: its writes are undone

    assert post_callback(client, *signed(callback_fields(payment))).status_code == 200
    with pytest.raises(RuntimeError, match="rolled back"), transaction.atomic():  # a delivery the database undid
        dispatch()
        raise RuntimeError("rolled back")
    dispatch()
    dispatch()
    assert attempts == ["paid"] * 3 and mailbox.read_text() == "T-once-1 paid\n"
    assert Payment.objects.get().failure_reason == "written by the receiver"
    assert not PaymentEvent.objects.filter(delivered_at=None).exists() and not Payment.objects.get().needs_review


def test_an_effect_that_raises_is_tried_again_and_one_cut_off_inside_is_flagged_never_repeated(
        client, payment, connect, tmp_path, admin_client):
    mailbox, tries = tmp_path / "mailbox", []

    @connect
    def ship(sender, payment, new, event, **kwargs):
        with once(event, f"warehouse call for {new}") as due:
            if due:
                tries.append(new)
                if new == "paid" and len(tries) == 1:
                    raise TimeoutError("the warehouse did not answer")  # nothing happened: done again
                if new == "settled":
                    with mailbox.open("a") as mail:
                        mail.write("shipped\n")
                    raise ProcessDied  # killed after the call went out, before the block ended

    assert post_callback(client, *signed(callback_fields(payment))).status_code == 200
    dispatch()
    assert tries == ["paid", "paid"]
    with pytest.raises(ProcessDied):
        post_callback(client, *signed(callback_fields(payment, "settled", settle_amount="17.50")))
    dispatch()
    dispatch()
    assert tries == ["paid", "paid", "settled"] and mailbox.read_text() == "shipped\n"  # never twice
    payment.refresh_from_db()
    assert payment.needs_review
    review = PaymentEvent.objects.get(kind=PaymentEvent.REVIEW)
    assert review.stage.startswith("interrupted_") and "'warehouse call for settled'" in review.reason
    assert "was started and never finished" in review.reason
    page = admin_client.get("/admin/tavori_pay/paymentshealth/").content.decode()
    assert "Effects outside the database started and never finished" in page


@pytest.mark.parametrize("key", ["", " ", "x" * 201, None])
def test_an_effect_needs_a_name(payment, key):
    event = PaymentEvent.objects.create(payment=payment, kind="status", stage="paid", previous="pending")
    with pytest.raises(ValueError, match="once.. takes a key of 1 to 200 characters"), once(event, key):
        pass
