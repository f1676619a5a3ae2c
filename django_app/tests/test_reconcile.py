"""Reconciliation: when callbacks are lost, asking the service brings every
payment to its true state, once, however many runs there are at once."""

from __future__ import annotations

import datetime as dt
import io
import itertools
import json
import os
import pty
import re
import signal
import subprocess
import sys
import threading
from collections import Counter
from contextlib import ExitStack, contextmanager
from decimal import Decimal
from pathlib import Path

import pytest
from conftest import (
    COMMUNITY,
    ROW_LOCKS,
    SPONSOR,
    as_hosts,
    callback_fields,
    in_processes,
    post_callback,
    signed,
    wait_until,
)
from django.core.management import CommandError, call_command
from django.db import connection, connections, transaction
from django.utils import timezone

from tavori_pay_django import PaymentBusy, conf, refresh_payment, start_payment
from tavori_pay_django import reconcile as reconcile_module
from tavori_pay_django.models import Payment, PaymentEvent
from tavori_pay_django.reconcile import reconcile as reconcile_payments
from tavori_pay_django.signals import payment_status_changed
from tavori_pay_sandbox import Account, Sandbox

pytestmark = pytest.mark.django_db(transaction=True)


@pytest.fixture
def transitions():
    seen: Counter = Counter()
    lock = threading.Lock()

    def count(sender, payment, previous, new, **kwargs):
        with lock:
            seen[payment.reference, previous, new] += 1

    payment_status_changed.connect(count, dispatch_uid="test transitions")
    yield seen
    payment_status_changed.disconnect(dispatch_uid="test transitions")


class Truth(dict):
    """Each payment's reference and the state the service holds it in."""
    sandbox: Sandbox


@pytest.fixture
def lost_callbacks(settings, monkeypatch, no_proxy):
    """Payments whose callbacks all go to an address nobody listens on,
    moved at the service to every state a payment can reach."""
    settings.TAVORI_PAY = {**settings.TAVORI_PAY, "PUBLIC_URL": "http://127.0.0.1:9"}
    truth = Truth()
    # Settlement only when the test calls for it.
    with Sandbox(accounts=[Account(COMMUNITY, SPONSOR)], settle_delay=10**9, callback_attempts=1,
                 log=lambda line: None) as sandbox:
        monkeypatch.setenv("TAVORI_PAY_BASE_URL", sandbox.url)
        truth.sandbox = sandbox
        for number, fate in enumerate(["pending", "paid", "settled", "failed", "expired", "refunded"] * 3):
            payment = start_payment(Decimal("10.00") + number, "CNY", reference=f"order-{number}",
                                    recipient_account="artist")
            order_id = payment.order_id
            if fate in ("paid", "settled", "refunded"):
                sandbox.pay(order_id)
            if fate in ("settled", "refunded"):
                sandbox.store.change_order(order_id, {"pay_status": 1}, {"settle_due": 0})
                sandbox.settle_due()
            if fate == "refunded":
                sandbox.refund(order_id)
            if fate == "failed":
                sandbox.decline(order_id)
            if fate == "expired":
                sandbox.store.change_order(order_id, {"pay_status": 0}, {"expires": 0})
                sandbox.expire_due()
            truth[payment.reference] = fate
        yield truth


def reconcile(*arguments: str) -> str:
    out = io.StringIO()
    call_command("tavori_pay_reconcile", "--older-than", "0", *arguments, stdout=out, stderr=io.StringIO())
    return out.getvalue().strip()


def test_lost_callbacks_are_recovered_once_by_concurrent_runs(lost_callbacks, transitions):
    assert set(Payment.objects.values_list("status", flat=True)) == {"pending"}
    outputs = as_hosts(lambda: reconcile("--workers", "3"))
    assert dict(Payment.objects.values_list("reference", "status")) == lost_callbacks
    moved = {reference: fate for reference, fate in lost_callbacks.items() if fate != "pending"}
    # Each stage a payment passed is announced, in order: these were
    # refunded after settlement.
    chains = {"paid": ["pending", "paid"], "settled": ["pending", "paid", "settled"],
              "refunded": ["pending", "paid", "settled", "refunded"], "failed": ["pending", "failed"],
              "expired": ["pending", "expired"]}
    expected = Counter((reference, *move) for reference, fate in moved.items()
                       for move in itertools.pairwise(chains[fate]))
    assert transitions == expected
    assert len(outputs) == 2 and all(output.startswith("Reconciled ") for output in outputs)
    # Run again: only the open ones (pending and paid) are asked about, since
    # the ended ones were asked about just now, and nothing moves.
    assert reconcile() == "Reconciled 6 payments: 6 unchanged"
    assert transitions == expected


def test_a_refund_whose_callbacks_were_lost_is_found(lost_callbacks, transitions):
    reconcile()
    settled = Payment.objects.filter(status="settled").first()
    lost_callbacks.sandbox.refund(settled.order_id)
    assert reconcile() == "Reconciled 6 payments: 6 unchanged"  # asked about again only a day later
    Payment.objects.filter(pk=settled.pk).update(reconciled_at=timezone.now() - dt.timedelta(days=1, seconds=1))
    assert reconcile() == "Reconciled 7 payments: 1 moved, 6 unchanged"
    settled.refresh_from_db()
    assert settled.status == "refunded" and transitions[settled.reference, "settled", "refunded"] == 1


def test_a_dry_run_changes_nothing(lost_callbacks, transitions):
    assert reconcile("--dry-run") == "Would reconcile 18 payments: 15 would move, 3 unchanged"
    assert set(Payment.objects.values_list("status", flat=True)) == {"pending"} and not transitions


def test_a_refusal_of_the_service_fails_the_command(lost_callbacks, settings):
    settings.TAVORI_PAY = {**settings.TAVORI_PAY, "SPONSOR_KEYS": ["not-the-key"]}
    errors = io.StringIO()
    with pytest.raises(CommandError, match="^the service refused or could not answer 18 queries$"):
        call_command("tavori_pay_reconcile", "--older-than", "0", stdout=io.StringIO(), stderr=errors)
    assert "refused: T" in errors.getvalue() and "Invalid signature" in errors.getvalue()
    assert "not-the-key" not in errors.getvalue()


def test_young_payments_wait_for_their_callbacks(lost_callbacks, settings):
    settings.TAVORI_PAY = {**settings.TAVORI_PAY, "RECONCILE_AFTER": 3600}
    out = io.StringIO()
    call_command("tavori_pay_reconcile", stdout=out)
    assert out.getvalue().strip() == "Reconciled 0 payments: nothing to do"


def test_progress_is_shown_on_a_terminal(lost_callbacks):
    leader, follower = pty.openpty()
    with os.fdopen(follower, "w") as terminal:
        call_command("tavori_pay_reconcile", "--older-than", "0", stdout=io.StringIO(), stderr=terminal)
    shown = os.read(leader, 4096).decode()
    os.close(leader)
    assert "reconciling: 18/18" in shown


@pytest.mark.parametrize("workers", ["1", "4"])
def test_answers_cut_off_midway_are_refusals_counted_and_named(lost_callbacks, workers):
    lost_callbacks.sandbox.fail_next_answers(18, "close")
    errors = io.StringIO()
    with pytest.raises(CommandError, match="^the service refused or could not answer 18 queries$"):
        call_command("tavori_pay_reconcile", "--older-than", "0", "--workers", workers, stdout=io.StringIO(),
                     stderr=errors)
    assert errors.getvalue().count(": IncompleteRead(") == 18
    assert set(Payment.objects.values_list("status", flat=True)) == {"pending"}


def test_a_slow_answer_holds_no_lock_that_a_callback_waits_for(lost_callbacks, client, monkeypatch):
    payment = Payment.objects.get(reference="order-1")  # paid at the service
    asking, answered = threading.Event(), threading.Event()
    real_client = conf.client

    class Observed:  # the real client, with the moments of its query seen
        def __init__(self):
            self.client = real_client()

        def query_order(self, order_id):
            asking.set()
            try:
                return self.client.query_order(order_id)
            finally:
                answered.set()

    monkeypatch.setattr(conf, "client", Observed)
    lost_callbacks.sandbox.fail_next_answers(1, "slow", seconds=3)
    run = threading.Thread(target=lambda: (reconcile_payments([payment.pk]), connections.close_all()))
    run.start()
    try:
        assert asking.wait(10)
        body, signature = signed(callback_fields(payment))
        assert post_callback(client, body, signature).status_code == 200
        assert not answered.is_set()  # the callback did not wait for the slow answer
    finally:
        run.join()
    payment.refresh_from_db()
    assert payment.status == "paid"


WAITING_FOR_LOCKS = {"postgresql": "SELECT count(*) FROM pg_locks WHERE NOT granted",
                     "mysql": "SELECT count(*) FROM information_schema.PROCESSLIST WHERE ID <> CONNECTION_ID() "
                              "AND INFO LIKE '%FOR UPDATE'"}


@contextmanager
def held_elsewhere(payment, *, until_waited_for: bool = False):
    """The payment's row locked by another connection, as a callback being
    applied holds it: until someone waits for it, or until the block ends."""
    held, done = threading.Event(), threading.Event()

    def hold_like_a_callback() -> None:
        with transaction.atomic():
            Payment.objects.select_for_update().get(pk=payment.pk)
            held.set()
            if until_waited_for:
                with connection.cursor() as cursor:
                    while not done.is_set():
                        cursor.execute(WAITING_FOR_LOCKS[connection.vendor])
                        if cursor.fetchone()[0]:
                            break
            else:
                done.wait(10)
        connections.close_all()

    holder = threading.Thread(target=hold_like_a_callback)
    holder.start()
    try:
        assert held.wait(10)
        yield
    finally:
        done.set()
        holder.join()


@pytest.mark.skipif(not ROW_LOCKS, reason="row locks that others wait for")
@pytest.mark.parametrize("released", [True, False])
def test_the_return_page_waits_for_a_callback_that_took_the_payment_meanwhile_or_says_it_could_not(
        lost_callbacks, monkeypatch, released):
    payment = Payment.objects.get(reference="order-1")  # paid at the service
    monkeypatch.setattr(reconcile_module, "REFRESH_LOCK_WAIT", 10.0 if released else 0.2)
    sandbox, asked = lost_callbacks.sandbox, []
    answer = sandbox.order_status
    with ExitStack() as callback:
        def answer_as_the_callback_comes(query):
            asked.append(query)
            callback.enter_context(held_elsewhere(payment, until_waited_for=released))
            return answer(query)

        monkeypatch.setattr(sandbox, "order_status", answer_as_the_callback_comes)
        if released:
            assert refresh_payment(payment).status == "paid"
        else:
            with pytest.raises(PaymentBusy, match=f"payment {payment.order_id} stayed locked") as busy:
                refresh_payment(payment)
            assert busy.value.payment.status == "pending"
    assert len(asked) == 1


def test_pages_polling_at_once_ask_the_service_once_and_a_held_payment_is_shown_as_stored_at_once(
        lost_callbacks, monkeypatch):
    payment = Payment.objects.get(reference="order-1")  # paid at the service
    sandbox, asked = lost_callbacks.sandbox, []
    answer = sandbox.order_status
    monkeypatch.setattr(sandbox, "order_status", lambda query: asked.append(query) or answer(query))
    shown = as_hosts(lambda: refresh_payment(Payment.objects.get(pk=payment.pk)).status, hosts=8)
    assert len(asked) == 1 and "paid" in shown and set(shown) <= {"pending", "paid"}
    if ROW_LOCKS:
        Payment.objects.filter(pk=payment.pk).update(reconciled_at=None, status="pending")
        with held_elsewhere(payment):
            assert refresh_payment(payment).status == "pending"  # at once: the holder brings it on
        assert len(asked) == 1


class PageFailed(Exception):
    pass


def test_receivers_run_only_after_the_outermost_commit_never_for_a_rolled_back_move(lost_callbacks, transitions):
    payment = Payment.objects.get(reference="order-1")  # paid at the service
    for refresh in (lambda: reconcile_payments([payment.pk]), lambda: refresh_payment(payment, at_most_every=0)):
        with pytest.raises(PageFailed), transaction.atomic():  # as under ATOMIC_REQUESTS
            refresh()
            assert not transitions  # the move is not committed: no receiver sees it
            raise PageFailed
        assert not transitions and Payment.objects.get(pk=payment.pk).status == "pending"
    with transaction.atomic():
        refresh_payment(payment, at_most_every=0)
        assert not transitions
    assert transitions == {("order-1", "pending", "paid"): 1}


@pytest.mark.parametrize("runs", [1, pytest.param(2, marks=pytest.mark.skipif(not ROW_LOCKS, reason="concurrent "
                                                                                 "writers need row locks"))])
def test_payments_paid_twice_for_one_reference_are_flagged_once_whichever_batch_or_run_takes_them(
        settings, sandbox, runs):
    settings.TAVORI_PAY = {**settings.TAVORI_PAY, "PUBLIC_URL": "http://127.0.0.1:9"}  # callbacks are lost
    references = [f"order-{number}" for number in range(12)]
    # Each reference's second payment far from its first, in reverse: runs hold several references at once.
    for reference in [*references, *reversed(references)]:
        sandbox.pay(start_payment(Decimal("10.00"), "CNY", reference=reference, recipient_account="artist",
                                  reuse_pending=False).order_id)
    lines = as_hosts(lambda: reconcile("--workers", "2"), hosts=runs)
    assert len(lines) == runs  # no run failed: no refusal, no deadlock
    assert sum(int(moved) for line in lines for moved in re.findall(r"(\d+) moved", line)) == len(references) * 2
    assert set(Payment.objects.values_list("status", flat=True)) <= {"paid", "settled"}
    assert Counter(PaymentEvent.objects.filter(kind=PaymentEvent.REVIEW, stage="paid_twice")
                   .values_list("payment__reference", flat=True)) == dict.fromkeys(references, 1)


@pytest.mark.skipif(not ROW_LOCKS, reason="a command in processes of its own, on a database server")
def test_a_run_shared_by_forked_processes_moves_each_payment_once_and_delivers_its_events(settings, sandbox):
    settings.TAVORI_PAY = {**settings.TAVORI_PAY, "PUBLIC_URL": "http://127.0.0.1:9"}  # callbacks are lost
    for number in range(80):
        order_id = start_payment(Decimal("10.00"), "CNY", reference=f"order-{number}",
                                 recipient_account="artist").order_id
        if number % 4:
            sandbox.pay(order_id)
    printed = in_processes([{"command": ["tavori_pay_reconcile", "--older-than", "0", "--processes", "3",
                                         "--workers", "2"]}])
    assert printed == ["Reconciled 80 payments: 60 moved, 20 unchanged"]
    paid = {f"order-{number}" for number in range(80) if number % 4}
    assert set(Payment.objects.exclude(status="pending").values_list("reference", flat=True)) == paid
    paid_events = PaymentEvent.objects.filter(stage="paid").values_list("payment__reference", flat=True)
    assert sorted(paid_events) == sorted(paid)
    assert not PaymentEvent.objects.filter(delivered_at=None).exists()


def children_of(pid: int) -> list[int]:
    found = []
    for stat in Path("/proc").glob("[0-9]*/stat"):
        try:
            fields = stat.read_text().rsplit(")", 1)[1].split()
        except (OSError, IndexError):  # the process ended meanwhile
            continue
        if int(fields[1]) == pid:
            found.append(int(stat.parent.name))
    return found


@pytest.mark.skipif(not ROW_LOCKS, reason="a command in processes of its own, on a database server")
def test_a_run_whose_forked_process_is_killed_ends_says_what_was_left_and_the_next_run_completes_it(
        settings, sandbox):
    settings.TAVORI_PAY = {**settings.TAVORI_PAY, "PUBLIC_URL": "http://127.0.0.1:9"}  # callbacks are lost
    for number in range(150):
        sandbox.pay(start_payment(Decimal("10.00"), "CNY", reference=f"order-{number}",
                                  recipient_account="artist").order_id)
    command = ["tavori_pay_reconcile", "--older-than", "0", "--processes", "2"]
    settings_dict = connection.settings_dict
    run = subprocess.Popen([sys.executable, str(Path(__file__).with_name("in_process.py")), settings_dict["NAME"],
                            str(settings_dict["PORT"])], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, text=True, cwd=Path(__file__).parent)
    run.stdin.write(json.dumps({"command": command}) + "\n")
    run.stdin.flush()
    assert run.stdout.readline() == "ready\n"
    run.stdin.write("go\n")
    run.stdin.flush()
    assert wait_until(lambda: children_of(run.pid))
    os.kill(children_of(run.pid)[0], signal.SIGKILL)  # as the OOM killer does
    printed, errors = run.communicate(timeout=120)
    assert run.returncode != 0
    left = int(re.search(r"(\d+) left by a process that died", printed)[1])
    assert f"a process of the run died (killed, or out of memory) with {left} payments not reconciled" in errors
    assert 0 < left <= 150
    call_command("tavori_pay_reconcile", "--older-than", "0", stdout=io.StringIO())
    assert not Payment.objects.filter(status="pending").exists()
    assert not PaymentEvent.objects.filter(delivered_at=None).exists()
