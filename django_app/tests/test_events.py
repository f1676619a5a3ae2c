"""Payment events: every stage a payment reaches is delivered to every
receiver until that receiver returns, in order, once in effect, whatever
a receiver or a run does."""

from __future__ import annotations

import io
import threading
from collections import Counter
from decimal import Decimal

import pytest
from conftest import ON_POSTGRES, ROW_LOCKS, as_hosts, callback_fields, post_callback, signed
from django.core.management import CommandError, call_command
from django.db import IntegrityError, connections, transaction
from django.utils import timezone

from tavori_pay_django import start_payment
from tavori_pay_django.models import Callback, Payment, PaymentEvent
from tavori_pay_django.signals import payment_needs_review

pytestmark = pytest.mark.django_db(transaction=True)


@pytest.fixture
def payment():
    return Payment.objects.create(order_id="T-events-1", reference="order-1", amount=Decimal("25.00"),
                                  currency="CNY", recipient_account="artist", pay_url="http://x/pay")


def deliver(client, payment, status, **changes):
    return post_callback(client, *signed(callback_fields(payment, status, **changes)))


def dispatch(*arguments: str) -> str:
    out = io.StringIO()
    call_command("tavori_pay_dispatch", *arguments, stdout=out, stderr=io.StringIO())
    return out.getvalue().strip()


def test_a_receiver_that_raises_is_delivered_again_until_it_returns_and_no_other_receiver_twice(
        client, admin_client, payment, connect):
    failures = [ConnectionRefusedError("the SMTP server is down")]
    mailed, shipped = [], []

    @connect
    def send_receipt(sender, payment, previous, new, event, **kwargs):
        if failures:
            raise failures.pop()
        mailed.append((new, event.id))

    @connect
    def ship(sender, payment, previous, new, event, **kwargs):
        shipped.append((new, event.id))

    answer = deliver(client, payment, "paid")
    assert (answer.status_code, answer.content) == (200, b"success")  # the move is the service's business
    event = PaymentEvent.objects.get()
    assert (mailed, shipped) == ([], [("paid", event.id)])
    assert (event.delivered, event.attempts) == (False, 1)
    assert "Traceback" in event.last_error and "the SMTP server is down" in event.last_error
    page = admin_client.get("/admin/tavori_pay/paymentevent/?delivered=no").content.decode()
    assert "ConnectionRefusedError: the SMTP server is down" in page

    # The service delivering the callback again changes nothing: the move is made.
    assert deliver(client, payment, "paid").status_code == 200
    assert mailed == []
    # A run before the retry time leaves the event be; one that ignores it delivers.
    assert dispatch() == "Delivered 0 of 0 events"
    assert dispatch("--ignore-backoff") == "Delivered 1 of 1 event"
    assert (mailed, shipped) == ([("paid", event.id)], [("paid", event.id)])
    event.refresh_from_db()
    assert event.delivered and event.attempts == 2 and "the SMTP server is down" in event.last_error  # kept
    assert dispatch("--ignore-backoff") == "Delivered 0 of 0 events"
    assert len(mailed) == 1


def test_a_lone_receiver_that_raises_has_its_writes_undone_and_its_attempt_recorded(client, payment, connect):
    # One event, one receiver: it runs without a savepoint of its own.
    calls = []

    @connect
    def fulfil(sender, payment, previous, new, event, **kwargs):
        calls.append(event.id)
        Payment.objects.filter(pk=payment.pk).update(failure_reason=f"fulfilled {len(calls)}")
        if len(calls) == 1:
            raise RuntimeError("the warehouse is closed")

    assert deliver(client, payment, "paid").status_code == 200
    payment.refresh_from_db()
    event = PaymentEvent.objects.get()
    assert (payment.status, payment.failure_reason) == ("paid", "")  # the move stands, the receiver's write not
    assert (event.delivered, event.attempts, event.delivered_to) == (False, 1, "")
    assert "RuntimeError: the warehouse is closed" in event.last_error and event.next_attempt_at is not None
    assert dispatch("--ignore-backoff") == "Delivered 1 of 1 event"
    payment.refresh_from_db()
    event.refresh_from_db()
    assert (payment.failure_reason, event.delivered, event.attempts, calls) == ("fulfilled 2", True, 2, [event.id] * 2)


@pytest.mark.skipif(not ON_POSTGRES, reason="PostgreSQL fails the rest of a transaction after a failed statement")
def test_a_lone_receiver_that_swallows_its_own_statements_error_is_recorded_as_raising(client, payment, connect):
    @connect
    def fulfil(sender, payment, previous, new, event, **kwargs):
        try:
            Payment.objects.create(order_id=payment.order_id, reference="copy", amount=1, currency="CNY")
        except IntegrityError:
            pass

    assert deliver(client, payment, "paid").status_code == 200
    event = PaymentEvent.objects.get()
    assert (event.delivered, event.attempts) == (False, 1)
    assert "fulfil raised" in event.last_error and "transaction" in event.last_error.strip().splitlines()[-1]
    assert Payment.objects.count() == 1


def test_a_callback_delivered_again_keeps_its_outcome_and_hands_nothing_over_before_its_time(
        client, payment, connect):
    reviews = []

    def review(sender, payment, reason, event, **kwargs):
        reviews.append(event.id)
        raise RuntimeError("the review queue is down")

    connect(review, payment_needs_review)
    mismatched = signed(callback_fields(payment, "paid", amount="1.00"))
    assert [deliver_again.status_code for deliver_again in (post_callback(client, *mismatched) for _ in range(3))] \
        == [200] * 3
    event = PaymentEvent.objects.get()
    assert (reviews, event.attempts, event.stage) == ([event.id], 1, "amount_mismatch")  # retried at its time only
    stored = Callback.objects.get()
    assert (stored.outcome, stored.deliveries, stored.payment_id) == ("amount_mismatch", 3, payment.pk)


def test_events_stuck_for_over_an_hour_fail_every_dispatch_run_and_naming_the_receiver(
        client, admin_client, payment, connect):
    @connect
    def send_receipt(sender, payment, previous, new, event, **kwargs):
        raise ConnectionRefusedError("the SMTP server is down")

    deliver(client, payment, "paid")
    deliver(client, payment, "settled", settle_amount="22.40")
    quiet = io.StringIO()
    with pytest.raises(CommandError, match="2 events not yet taken"):  # a young event that failed fails the run
        call_command("tavori_pay_dispatch", "--ignore-backoff", verbosity=0, stdout=quiet, stderr=io.StringIO())
    assert quiet.getvalue() == ""
    # Between retry times, a run hands nothing over: it still fails once the events have waited an hour.
    assert dispatch() == "Delivered 0 of 0 events"
    PaymentEvent.objects.update(created_at=timezone.now() - timezone.timedelta(hours=2))
    errors = io.StringIO()
    with pytest.raises(CommandError, match="2 events not yet taken by every receiver"):
        call_command("tavori_pay_dispatch", verbosity=0, stdout=quiet, stderr=errors)
    assert errors.getvalue() == "send_receipt has kept 2 events waiting for over 1 hour\n"
    assert quiet.getvalue() == ""
    page = admin_client.get("/admin/tavori_pay/paymentevent/?delivered=stuck").content.decode()
    assert "2 payment events" in page


def test_a_delivery_cut_off_after_the_answer_counts_as_waiting_then_stuck_and_dispatch_delivers_it_once(
        admin_client, payment, connect):
    from tavori_pay_django import callbacks
    from tavori_pay_django.delivery import after_commit, dispatcher

    taken = []
    connect(lambda sender, payment, new, **kwargs: taken.append(new))
    with after_commit.kept():  # answered; the worker is killed before it delivers
        assert callbacks.receive(*signed(callback_fields(payment, "paid"))).status == 200
    assert dispatcher.undelivered([payment.pk]) == 0  # a delivery may still be under way
    PaymentEvent.objects.update(created_at=timezone.now() - timezone.timedelta(minutes=2))
    assert dispatcher.undelivered([payment.pk]) == 1
    PaymentEvent.objects.update(created_at=timezone.now() - timezone.timedelta(minutes=90))
    errors = io.StringIO()
    with pytest.raises(CommandError, match="1 event not yet taken by every receiver"):  # never tried, still stuck
        call_command("tavori_pay_dispatch", "--older-than", "7200", stdout=io.StringIO(), stderr=errors)
    assert errors.getvalue() == "lambda-0 has kept 1 event waiting for over 1 hour\n"
    assert "1 payment event" in admin_client.get("/admin/tavori_pay/paymentevent/?delivered=stuck").content.decode()
    assert dispatch() == "Delivered 1 of 1 event" and taken == ["paid"]


def test_a_run_with_nothing_wrong_prints_nothing_at_verbosity_0(client, payment, connect):
    connect(lambda sender, **kwargs: None)
    deliver(client, payment, "paid")
    for command in ("tavori_pay_dispatch", "tavori_pay_reconcile", "tavori_pay_prune"):
        out, errors = io.StringIO(), io.StringIO()
        call_command(command, verbosity=0, stdout=out, stderr=errors)
        assert (command, out.getvalue(), errors.getvalue()) == (command, "", "")


@pytest.mark.parametrize("command, age", [
    (command, age) for command in ("tavori_pay_dispatch", "tavori_pay_reconcile", "tavori_pay_prune")
    for age in ("nan", "inf", "-1", "1e12", "soon", *(("1e6",) if command == "tavori_pay_prune" else ()))])
def test_an_age_no_date_can_be_computed_from_is_a_clear_error(command, age):
    unit = "days" if command == "tavori_pay_prune" else "seconds"
    with pytest.raises(CommandError, match=rf"argument --older-than: takes a number of {unit} from 0 to [0-9,]+, "
                                           rf"not '{age}'"):
        call_command(command, f"--older-than={age}", stdout=io.StringIO(), stderr=io.StringIO())


def test_a_receiver_that_missed_an_event_is_not_handed_the_later_ones_first(client, payment, connect):
    failing = {"paid"}
    seen = []

    @connect
    def fulfil(sender, payment, previous, new, event, **kwargs):
        if new in failing:
            raise RuntimeError(f"the warehouse cannot handle {new}")
        seen.append((previous, new))

    deliver(client, payment, "paid")
    deliver(client, payment, "settled", settle_amount="22.40")
    assert seen == [] and PaymentEvent.objects.filter(delivered_at=None).count() == 2
    failing.clear()
    assert dispatch("--ignore-backoff") == "Delivered 2 of 2 events"
    assert seen == [("pending", "paid"), ("paid", "settled")]


def test_settled_before_paid_is_announced_as_paid_then_settled_once_each(client, payment, connect):
    seen = []
    connect(lambda sender, previous, new, event, **kwargs: seen.append((previous, new, event.id)))
    for status in ("settled", "paid", "settled", "paid"):
        assert deliver(client, payment, status, settle_amount="22.40").status_code == 200
    paid, settled = PaymentEvent.objects.order_by("id")
    assert seen == [("pending", "paid", paid.id), ("paid", "settled", settled.id)]


def test_expired_then_settled_is_paid_flagged_for_review_then_settled(client, payment, connect):
    seen = []
    connect(lambda sender, previous, new, **kwargs: seen.append((previous, new)))
    connect(lambda sender, reason, **kwargs: seen.append(("review", reason)), payment_needs_review)
    deliver(client, payment, "expired", reason="not paid in time")
    deliver(client, payment, "settled", settle_amount="22.40")
    assert seen == [("pending", "expired"), ("expired", "paid"), ("paid", "settled"),
                    ("review", "settled after expired: money was taken for an ended payment")]
    payment.refresh_from_db()
    assert (payment.status, payment.needs_review) == ("settled", True)


def test_reconciliation_after_lost_callbacks_announces_each_stage_and_reports_what_was_not_taken(
        sandbox, settings, connect):
    settings.TAVORI_PAY = {**settings.TAVORI_PAY, "PUBLIC_URL": "http://127.0.0.1:9"}  # callbacks are lost
    seen: Counter = Counter()
    lock = threading.Lock()

    @connect
    def fulfil(sender, payment, previous, new, **kwargs):
        if payment.reference == "order-3":
            raise RuntimeError("out of stock")
        with lock:
            seen[payment.reference, previous, new] += 1

    for number in range(6):
        order_id = start_payment(Decimal("10.00"), "CNY", reference=f"order-{number}",
                                 recipient_account="artist").order_id
        sandbox.pay(order_id)
        sandbox.settle(order_id)
    out = io.StringIO()
    with pytest.raises(CommandError, match="^2 events not yet taken by every receiver"):
        call_command("tavori_pay_reconcile", "--older-than", "0", "--workers", "3", stdout=out,
                     stderr=io.StringIO())
    connections.close_all()
    assert out.getvalue().strip() == ("Reconciled 6 payments: 6 moved; 2 events not yet taken by every "
                                      "receiver, delivered again later")
    assert seen == Counter({(f"order-{n}", *move): 1 for n in (0, 1, 2, 4, 5)
                            for move in (("pending", "paid"), ("paid", "settled"))})


def test_two_runs_at_once_call_each_receiver_once_per_event_in_order(connect):
    now = timezone.now()
    payments = Payment.objects.bulk_create(
        Payment(order_id=f"T-many-{n}", reference=f"many-{n}", amount=Decimal("1.00"), currency="CNY",
                status="settled") for n in range(100))
    PaymentEvent.objects.bulk_create(
        PaymentEvent(payment=payment, kind=PaymentEvent.STATUS, previous=previous, stage=new, created_at=now)
        for payment in payments for previous, new in (("pending", "paid"), ("paid", "settled")))
    calls: dict[str, list[tuple[str, int, str]]] = {"first": [], "second": []}
    lock = threading.Lock()

    def recorder(name):
        def receive(sender, payment, new, event, **kwargs):
            with lock:
                calls[name].append((payment.reference, event.id, new))
        receive.__name__ = name
        return receive

    connect(recorder("first"))
    connect(recorder("second"))
    assert len(as_hosts(dispatch)) == 2
    for name, made in calls.items():
        assert Counter(event_id for _, event_id, _ in made) == Counter(
            dict.fromkeys(PaymentEvent.objects.values_list("id", flat=True), 1)), name
        stages: dict[str, list[str]] = {}
        for reference, _, new in made:
            stages.setdefault(reference, []).append(new)
        assert set(map(tuple, stages.values())) == {("paid", "settled")}, name
    assert not PaymentEvent.objects.filter(delivered_at=None).exists()


@pytest.mark.skipif(not ROW_LOCKS, reason="row locks that another run holds")
def test_a_payment_whose_events_another_run_holds_is_left_to_it_and_the_others_delivered(connect):
    payments = Payment.objects.bulk_create(
        Payment(order_id=f"T-held-{n}", reference=f"held-{n}", amount=Decimal("1.00"), currency="CNY",
                status="paid") for n in range(3))
    PaymentEvent.objects.bulk_create(PaymentEvent(payment=payment, kind=PaymentEvent.STATUS, previous="pending",
                                                  stage="paid", created_at=timezone.now()) for payment in payments)
    seen = []
    connect(lambda sender, payment, **kwargs: seen.append(payment.reference))
    held, release = threading.Event(), threading.Event()

    def other_run():
        try:
            with transaction.atomic():
                list(PaymentEvent.objects.filter(payment=payments[1]).select_for_update())
                held.set()
                release.wait(30)
        finally:
            connections.close_all()

    holder = threading.Thread(target=other_run)
    holder.start()
    try:
        assert held.wait(30)
        assert dispatch() == "Delivered 2 of 2 events; 1 payment left to a run already delivering them"
        assert sorted(seen) == ["held-0", "held-2"]
    finally:
        release.set()
        holder.join()
    assert dispatch() == "Delivered 1 of 1 event"
    assert sorted(seen) == ["held-0", "held-1", "held-2"]
