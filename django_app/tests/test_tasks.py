"""With TAVORI_PAY["TASK_BACKEND"], a move's events are delivered by the task
backend's workers: django-tasks-db's db_worker here, two at once, on
PostgreSQL. The event rows stay the record: each receiver takes each event
once, in order, however many tasks and workers there are."""

from __future__ import annotations

import io
import os
import subprocess
import sys
import threading
import time
import urllib.request
from collections import Counter
from decimal import Decimal
from pathlib import Path

import pytest
import queue_down
import worker_receivers
from conftest import ON_POSTGRES, callback_fields, post_callback, signed, wait_until
from django.core import checks
from django.core.management import call_command
from django.db import connection

from tavori_pay_django.delivery import after_commit
from tavori_pay_django.models import Payment, PaymentEvent
from tavori_pay_django.signals import payment_status_changed

pytestmark = pytest.mark.django_db(transaction=True)
PAYMENTS = 4


def run_workers(receipts: Path, count: int) -> None:
    settings = connection.settings_dict
    workers = [subprocess.Popen([sys.executable, str(Path(__file__).with_name("task_worker.py")), settings["NAME"],
                                 str(settings["PORT"]), str(receipts)], cwd=Path(__file__).parent,
                                stderr=subprocess.PIPE, text=True) for _ in range(count)]
    for worker in workers:
        _, errors = worker.communicate(timeout=120)
        assert worker.returncode == 0, errors


@pytest.mark.skipif(not ON_POSTGRES, reason="a task worker of its own on PostgreSQL")
def test_events_are_delivered_once_each_by_the_task_backends_workers(client, settings, tmp_path):
    from django_tasks_db.models import DBTaskResult

    settings.TAVORI_PAY = {**settings.TAVORI_PAY, "TASK_BACKEND": "database"}
    # Connected here too, as in every process of the project: the events name it.
    payment_status_changed.connect(worker_receivers.record_receipt, dispatch_uid=worker_receivers.RECEIVER)
    try:
        payments = [Payment.objects.create(order_id=f"T-task-{n}", reference=f"order-{n}", amount=Decimal("9.00"),
                                           currency="CNY", pay_url="http://x/pay") for n in range(PAYMENTS)]
        for payment in payments:
            for status in ("paid", "paid", "settled"):  # a redelivery enqueues nothing more
                assert post_callback(client, *signed(callback_fields(payment, status, settle_amount="6.30"))
                                     ).status_code == 200
    finally:
        payment_status_changed.disconnect(dispatch_uid=worker_receivers.RECEIVER)
    assert not PaymentEvent.objects.exclude(delivered_at=None).exists()  # nothing delivered in the web process
    assert DBTaskResult.objects.count() == 2 * PAYMENTS
    receipts = tmp_path / "receipts"
    receipts.touch()
    run_workers(receipts, count=2)
    run_workers(receipts, count=1)  # a task run again changes nothing
    lines = [line.split() for line in receipts.read_text().splitlines()]
    events = dict(PaymentEvent.objects.values_list("id", "stage"))
    assert Counter(int(event_id) for _, _, event_id, _ in lines) == Counter(dict.fromkeys(events, 1))
    for payment in payments:
        assert [new for order_id, new, _, _ in lines if order_id == payment.order_id] == ["paid", "settled"]
    assert not PaymentEvent.objects.filter(delivered_at=None).exists()


@pytest.mark.django_db(transaction=True, databases=["default", "payments"])  # model checks ask every database
def test_a_task_backend_that_is_not_in_tasks_is_an_error_and_one_that_runs_nothing_a_deployment_warning(settings):
    from tavori_pay_django import conf

    def reported(deploy):
        return [(message.id, message.msg) for message in checks.run_checks(include_deployment_checks=deploy)
                if message.id in ("tavori_pay.E011", "tavori_pay.W007")]

    settings.TAVORI_PAY = {**settings.TAVORI_PAY, "TASK_BACKEND": "celery"}
    assert reported(deploy=False) == [("tavori_pay.E011", "TAVORI_PAY['TASK_BACKEND'] (celery) is not an alias of the "
                                                          "TASKS setting")]
    settings.TAVORI_PAY = {**settings.TAVORI_PAY, "TASK_BACKEND": "default"}
    conf.running_tests, running = (lambda: False), conf.running_tests
    try:
        assert reported(deploy=True) == [("tavori_pay.W007", "TAVORI_PAY['TASK_BACKEND'] (default) is "
                                                             "ImmediateBackend: payment events are delivered in the "
                                                             "request that moved the payment, or never")]
    finally:
        conf.running_tests = running
    call_command("check", stdout=io.StringIO())


def test_a_queue_that_is_down_never_delays_the_answer_and_its_events_go_once_it_is_back(
        live_server, settings, connect, monkeypatch, caplog, no_proxy):
    settings.TAVORI_PAY = {**settings.TAVORI_PAY, "TASK_BACKEND": "queue_down"}
    monkeypatch.setattr(after_commit, "ENQUEUE_WAIT", 0.2)
    taken = []

    @connect
    def fulfil(sender, payment, new, **kwargs):
        taken.append(new)

    payment = Payment.objects.create(order_id="T-queue-down", reference="order-1", amount=Decimal("9.00"),
                                     currency="CNY", pay_url="http://x/pay")
    body, signature = signed(callback_fields(payment))
    queue_down.RESTORED.clear()
    try:
        started = time.monotonic()
        with urllib.request.urlopen(urllib.request.Request(
                f"{live_server.url}/payments/notify/", body, method="POST",
                headers={"Content-Type": "application/json", "X-Tavori-Signature": signature})) as answer:
            assert answer.status == 200
        assert time.monotonic() - started < 0.5
        assert wait_until(lambda: "not handed to the task backend 'queue_down' within 0.2 s" in caplog.text)
        assert not taken
    finally:
        queue_down.RESTORED.set()
    assert wait_until(lambda: taken == ["paid"])
    assert wait_until(lambda: not PaymentEvent.objects.filter(delivered_at=None).exists())


# The child only starts a thread of its own and exits.
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_a_forked_worker_hands_its_answers_to_an_enqueuing_thread_of_its_own():
    """A server that forks its workers after the app has answered once
    (gunicorn --preload) leaves the parent's enqueuing thread behind."""
    after_commit._enqueuer()
    child = os.fork()
    if child == 0:  # no database, no pytest: only whether a hand-over is taken here
        taken = threading.Event()
        after_commit._enqueuer().put(([], "default", taken))
        os._exit(0 if taken.wait(10) else 1)
    _, status = os.waitpid(child, 0)
    assert os.waitstatus_to_exitcode(status) == 0
