"""The receivers an event is for are the same in every process: named the
same everywhere, recorded with the event, and never taken as delivered by
a process that lacks one of them."""

from __future__ import annotations

import functools
import io
import logging
import threading
import urllib.request
from decimal import Decimal

import pytest
from asgiref.sync import async_to_sync
from conftest import ON_POSTGRES, callback_fields, post_callback, signed, wait_until
from django.core.management import CommandError, call_command
from django.core.signals import request_finished
from django.db import connections, transaction
from django.test import AsyncClient

from tavori_pay_django import checks as tavori_checks
from tavori_pay_django import conf, deliver_due_events, start_payment
from tavori_pay_django.models import Payment, PaymentEvent
from tavori_pay_django.moves import apply
from tavori_pay_django.reports import Report
from tavori_pay_django.signals import payment_status_changed
from tavori_pay_django.transitions import Status

pytestmark = pytest.mark.django_db(transaction=True)
taken: list[tuple[str, str]] = []


def fulfil(sender, payment, new, **kwargs):
    """A receiver at a module's top level: named by its dotted path."""
    taken.append(("fulfil", new))


@pytest.fixture
def payment():
    taken.clear()
    return Payment.objects.create(order_id="T-receivers-1", reference="order-1", amount=Decimal("25.00"),
                                  currency="CNY", recipient_account="artist", pay_url="http://x/pay")


def move(payment, status, lacking=()):
    """Moves the payment as a process with every receiver connected, whose
    events are then delivered by one lacking the receivers `lacking`."""
    with transaction.atomic():
        apply(Payment.objects.select_for_update().get(pk=payment.pk), Report(Status(status), "25.00"))
        for uid in lacking:
            payment_status_changed.disconnect(dispatch_uid=uid)


def e005():
    return [message.msg for message in tavori_checks.check_receivers() if message.id == "tavori_pay.E005"]


def test_a_process_lacking_a_receiver_never_marks_its_events_delivered(admin_client, payment, connect):
    connect(lambda sender, new, **kwargs: taken.append(("receipt", new)))
    ship = connect(lambda sender, new, **kwargs: taken.append(("ship", new)))
    move(payment, "paid", lacking=["lambda-1"])
    event = PaymentEvent.objects.get()
    assert (event.receivers, event.delivered, taken) == ("lambda-0\nlambda-1", False, [("receipt", "paid")])
    assert event.last_error.startswith("lambda-1 is not connected in this process: connect it in your "
                                       "AppConfig.ready()")
    page = admin_client.get("/admin/tavori_pay/paymentevent/?delivered=no").content.decode()
    assert "say so with manage.py tavori_pay_receivers --rename or --retire" in page
    errors = io.StringIO()
    with pytest.raises(CommandError, match="1 event not yet taken"):
        call_command("tavori_pay_dispatch", "--ignore-backoff", stdout=io.StringIO(), stderr=errors)
    assert "lambda-1 is not connected in this process" in errors.getvalue()
    payment_status_changed.connect(ship, weak=False, dispatch_uid="lambda-1")  # connected where it belongs
    assert deliver_due_events(ignore_backoff=True).ok
    assert taken == [("receipt", "paid"), ("ship", "paid")]


def test_a_receiver_renamed_or_retired_on_purpose_is_said_so_and_never_called_again_silently(payment, connect):
    old = connect(lambda sender, new, **kwargs: taken.append(("old", new)))
    connect(lambda sender, new, **kwargs: taken.append(("kept", new)))
    for status in ("paid", "settled"):
        payment_status_changed.connect(old, weak=False, dispatch_uid="lambda-0")
        move(payment, status, lacking=["lambda-0"])
    assert taken == [("kept", "paid"), ("kept", "settled")]
    payment_status_changed.connect(fulfil, dispatch_uid="fulfil-renamed")
    try:
        with pytest.raises(CommandError, match="nobody is not connected in this process"):
            call_command("tavori_pay_receivers", "--rename", "lambda-0", "nobody", stdout=io.StringIO())
        out = io.StringIO()
        call_command("tavori_pay_receivers", "--rename", "lambda-0", "fulfil-renamed", stdout=out)
        assert out.getvalue() == "2 waiting events now for fulfil-renamed instead of lambda-0\n"
        assert deliver_due_events(ignore_backoff=True).ok
        assert taken[2:] == [("fulfil", "paid"), ("fulfil", "settled")]
    finally:
        payment_status_changed.disconnect(dispatch_uid="fulfil-renamed")
    move(payment, "refunded", lacking=["lambda-1"])
    out = io.StringIO()
    call_command("tavori_pay_receivers", "--retire", "lambda-1", stdout=out)
    assert out.getvalue() == "1 waiting event no longer for lambda-1\n"
    assert not PaymentEvent.objects.filter(delivered_at=None).exists()
    assert ("kept", "refunded") not in taken


def make_receiver(name):
    def receive(sender, new, **kwargs):
        taken.append((name, new))
    return receive


def test_receivers_that_cannot_be_named_alike_in_every_process_are_refused_by_check_and_never_called(payment):
    unnamed = [lambda sender, new, **kwargs: taken.append(("lambda", new)), make_receiver("first"),
               make_receiver("second"), functools.partial(fulfil)]
    for receiver in unnamed:
        payment_status_changed.connect(receiver, weak=False)
    payment_status_changed.connect(fulfil)
    try:
        assert e005() == [
            f"payment_status_changed receiver {where} has no name that is the same in every process: it is never "
            "called" for where in [*(f"{__name__}.{receiver.__qualname__}" for receiver in unnamed[:3]),
                                   "functools.partial"]]
        move(payment, "paid")
    finally:
        for receiver in unnamed:
            payment_status_changed.disconnect(receiver)
        payment_status_changed.disconnect(fulfil)
    assert taken == [("fulfil", "paid")]
    assert PaymentEvent.objects.get().receivers == f"{__name__}.fulfil"


def test_a_receiver_connected_after_django_loaded_is_refused_loudly(payment, monkeypatch, caplog):
    monkeypatch.setattr(conf, "running_tests", lambda: False)
    with caplog.at_level(logging.ERROR, logger="tavori_pay_django"):
        payment_status_changed.connect(fulfil)  # as a views.py imported by the URLconf would
    try:
        assert "was connected after Django loaded its apps, so it is never called" in caplog.text
        assert e005() == [f"payment_status_changed receiver {__name__}.fulfil was connected after Django loaded "
                          "its apps: it is never called"]
        move(payment, "paid")
    finally:
        payment_status_changed.disconnect(fulfil)
    assert taken == [] and PaymentEvent.objects.get().receivers == ""


@pytest.fixture
def slow_mail(connect):
    """A receiver that runs until released: (started, release, finished)."""
    started, release, finished = threading.Event(), threading.Event(), threading.Event()

    @connect
    def slow_mail(sender, new, **kwargs):
        started.set()
        release.wait(30)
        finished.set()

    yield started, release, finished
    release.set()


def test_the_service_has_its_answer_before_any_receiver_runs(live_server, payment, slow_mail, no_proxy):
    started, release, finished = slow_mail
    body, signature = signed(callback_fields(payment))
    request = urllib.request.Request(f"{live_server.url}/payments/notify/", body, headers={
        "Content-Type": "application/json", "X-Tavori-Signature": signature})
    try:
        with urllib.request.urlopen(request, timeout=10) as answer:
            assert (answer.status, answer.read()) == (200, b"success")
        assert not finished.is_set()  # answered while the receiver is still to run, or running
        payment.refresh_from_db()
        assert payment.status == "paid"
    finally:
        release.set()
    assert started.wait(10) and finished.wait(10)
    assert wait_until(lambda: PaymentEvent.objects.get().delivered_to == "slow_mail")


def test_a_sandbox_waiting_for_its_callbacks_waits_for_the_receivers_run_after_the_answer(
        live_server, sandbox, slow_mail, settings):
    """A test with the live server in its process looks at what receivers
    did once the sandbox's deliveries are done: they must have returned."""
    started, release, finished = slow_mail
    settings.TAVORI_PAY = {**settings.TAVORI_PAY, "PUBLIC_URL": live_server.url}
    order_id = start_payment(Decimal("9.00"), "CNY", reference="slow-1", recipient_account="artist").order_id
    sandbox.pay(order_id)
    returned = threading.Event()
    waiting = threading.Thread(target=lambda: (sandbox.wait_for_deliveries(order_id, count=1, timeout=30),
                                               returned.set()))
    waiting.start()
    try:
        assert started.wait(10)
        assert not returned.wait(0.3)  # the callback's answer came, and with it the waiting could end
    finally:
        release.set()
        waiting.join(30)
    assert returned.is_set() and finished.is_set()


def test_under_asgi_the_events_are_delivered_once_the_answer_is_sent(payment, connect):
    @connect
    def mail(sender, new, **kwargs):
        taken.append(("mail", new))

    def close_the_closing_threads_connections(**kwargs):
        connections.close_all()

    body, signature = signed(callback_fields(payment))
    # The async test client closes the response in a thread of its own, and
    # unlike a server leaves that thread's connection open at the end.
    request_finished.connect(close_the_closing_threads_connections)
    try:
        answer = async_to_sync(AsyncClient().post)("/payments/notify/", body, content_type="application/json",
                                                   headers={"X-Tavori-Signature": signature})
    finally:
        request_finished.disconnect(close_the_closing_threads_connections)
    assert (answer.status_code, taken) == (200, [("mail", "paid")])
    assert PaymentEvent.objects.get().delivered


@pytest.mark.skipif(not ON_POSTGRES, reason="PostgreSQL's commit setting")
def test_a_receivers_writes_and_the_record_of_its_delivery_commit_to_disk(client, payment, connect):
    from django.db import connection

    seen = []

    @connect
    def durable(sender, **kwargs):
        with connection.cursor() as cursor:
            # The server's own setting (the test cluster's is off, for speed), not one set for the delivery.
            cursor.execute("SELECT source FROM pg_settings WHERE name = 'synchronous_commit'")
            seen.append(cursor.fetchone()[0])

    assert post_callback(client, *signed(callback_fields(payment))).status_code == 200
    assert seen == ["command line"]
