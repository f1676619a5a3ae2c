"""The sandbox as a test harness: driven from code, on a clock a test moves,
with faults on demand, each seen the way a client or a notify URL sees it."""

from __future__ import annotations

import contextlib
import http.client
import json
import os
import re
import socket
import subprocess
import sys
import textwrap
import threading
import time
import urllib.request

import pytest
from notify_receiver import Receiver

from tavori_pay import Client
from tavori_pay_sandbox import Sandbox


@pytest.fixture
def no_proxy(monkeypatch):
    for proxy in ("http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"):
        monkeypatch.delenv(proxy, raising=False)


@pytest.fixture
def harness(monkeypatch, no_proxy):
    monkeypatch.delenv("TAVORI_PAY_BASE_URL", raising=False)
    with Sandbox(log=lambda line: None) as sandbox:
        yield sandbox


def statuses(receiver: Receiver, client, count: int) -> list[str]:
    return [receiver.next(client)["status"] for _ in range(count)]


def test_a_sandbox_with_no_arguments_serves_a_demo_account_through_its_client(harness, receiver):
    client = harness.client()
    payment = client.create_payment(12.5, "CNY", "artist", receiver.url)
    assert harness.pay(payment.order_id)["pay_status"] == 1
    assert harness.settle(payment.order_id)["settle_amount"] == "8.75"
    assert harness.refund(payment.order_id)["refund_status"] == 1
    assert statuses(receiver, client, 3) == ["paid", "settled", "refunded"]
    order = harness.order(payment.order_id)
    assert (order["pay_status_text"], order["settle_status_text"], order["refund_status_text"]) == (
        "paid", "reversed", "refunded")
    attempts = harness.wait_for_deliveries(payment.order_id, count=3)
    assert [(a["event"], a["code"]) for a in attempts] == [("paid", 200), ("settled", 200), ("refunded", 200)]
    assert harness.pay(payment.order_id) is None  # not in a state to be paid again
    body = json.dumps({"status": "paid", "order_id": "T-1", "amount": "1.00"})
    assert client.verify_callback(body, harness.sign(body))["order_id"] == "T-1"
    assert harness.sponsor_key not in repr(harness) + repr(harness.account)
    harness.reset()
    assert harness.store.orders() == [] and harness.deliveries() == []
    with pytest.raises(KeyError):
        harness.order(payment.order_id)


def test_the_client_points_back_where_it_was_after_the_sandbox_stops(monkeypatch):
    monkeypatch.setenv("TAVORI_PAY_BASE_URL", "http://elsewhere.example")
    with Sandbox(log=lambda line: None) as sandbox:
        sandbox.client()
        assert os.environ["TAVORI_PAY_BASE_URL"] == sandbox.url
    assert os.environ["TAVORI_PAY_BASE_URL"] == "http://elsewhere.example"


class TestTheClock:
    def test_expiry_and_settlement_come_when_the_clock_is_moved(self, receiver, no_proxy):
        with Sandbox(order_ttl=900, settle_delay=3600, log=lambda line: None) as sandbox:
            client = sandbox.client()
            unpaid = client.create_payment(1, "CNY", "a", receiver.url).order_id
            paid = client.create_payment(2, "CNY", "a", receiver.url).order_id
            sandbox.pay(paid)
            assert receiver.next(client)["status"] == "paid"
            sandbox.advance(899)
            assert client.query_order(unpaid).pay_status == 0
            sandbox.advance(1)
            assert client.query_order(unpaid).pay_status_text == "expired"
            assert receiver.next(client)["status"] == "expired"
            sandbox.advance(2700)
            assert client.query_order(paid).settle_status_text == "settled"
            assert receiver.next(client)["status"] == "settled"

    def test_every_retry_comes_when_its_time_comes_and_not_before(self, no_proxy):
        failing = Receiver(failures=10)
        try:
            with Sandbox(callback_first_delay=60, log=lambda line: None) as sandbox:
                order_id = sandbox.client().create_payment(1, "CNY", "a", failing.url).order_id
                sandbox.decline(order_id)
                for attempt, wait in enumerate([60, 120, 240, 480], start=1):
                    assert len(sandbox.wait_for_deliveries(order_id, count=attempt)) == attempt
                    sandbox.advance(wait - 1)
                    assert len(sandbox.wait_for_deliveries(order_id)) == attempt  # not yet due
                    sandbox.advance(1)
                codes = [a["code"] for a in sandbox.wait_for_deliveries(order_id, count=5)]
                assert codes == [500] * 5
        finally:
            failing.server.shutdown()
            failing.server.server_close()


class TestDeliveryFaults:
    def test_a_dropped_callback_never_arrives(self, harness, receiver):
        client = harness.client()
        lost, kept = (client.create_payment(1, "CNY", "a", receiver.url).order_id for _ in range(2))
        harness.drop_deliveries(1, order_id=lost)
        harness.decline(lost)
        harness.decline(kept)
        assert receiver.next(client)["order_id"] == kept
        assert [(a["outcome"], a["code"]) for a in harness.wait_for_deliveries(lost, count=1)] == [
            ("dropped (fault)", None)]
        assert receiver.callbacks.empty()

    def test_a_callback_delivered_three_times(self, harness, receiver):
        client = harness.client()
        harness.duplicate_deliveries(3)
        order_id = client.create_payment(1, "CNY", "a", receiver.url).order_id
        harness.decline(order_id)
        assert statuses(receiver, client, 3) == ["failed"] * 3

    def test_settled_before_paid(self, harness, receiver):
        client = harness.client()
        harness.deliver_out_of_order()
        order_id = client.create_payment(1, "CNY", "a", receiver.url).order_id
        harness.pay(order_id)
        harness.settle(order_id)
        harness.advance(1)
        assert statuses(receiver, client, 2) == ["settled", "paid"]

    def test_a_delayed_callback_waits_for_the_clock(self, harness, receiver):
        client = harness.client()
        harness.delay_deliveries(30)
        order_id = client.create_payment(1, "CNY", "a", receiver.url).order_id
        harness.decline(order_id)
        assert harness.wait_for_deliveries(order_id) == []
        harness.advance(30)
        assert receiver.next(client)["status"] == "failed"

    def test_the_next_attempts_carry_a_wrong_signature(self, harness, receiver):
        client = harness.client()
        harness.send_wrong_signatures(1)
        first, second = (client.create_payment(1, "CNY", "a", receiver.url).order_id for _ in range(2))
        harness.decline(first)
        body, signature = receiver.callbacks.get(timeout=10)
        with pytest.raises(RuntimeError, match="^Invalid callback signature$"):
            client.verify_callback(body, signature)
        harness.decline(second)
        assert receiver.next(client)["order_id"] == second


class TestAnswerFaults:
    @pytest.mark.parametrize("kind, error, message", [
        ("500", RuntimeError, r"^HTTP 500: Fault on demand: the service failed"),
        ("503", RuntimeError, r"^HTTP 503: Fault on demand: the service failed"),
        ("not-json", RuntimeError, r"^Invalid JSON: "),
        ("close", http.client.IncompleteRead, None),
        ("slow", TimeoutError, None),
    ])
    def test_the_next_answers_go_wrong_then_the_service_answers_again(self, harness, kind, error, message):
        client = harness.client()
        harness.fail_next_answers(2, kind, seconds=1.0)
        socket.setdefaulttimeout(0.3)
        try:
            for _ in range(2):
                with pytest.raises(error, match=message):
                    client.create_payment(1, "CNY", "a", "http://127.0.0.1:9/n")
        finally:
            socket.setdefaulttimeout(None)
        assert client.create_payment(1, "CNY", "a", "http://127.0.0.1:9/n").order_id


def test_the_command_line_takes_the_same_faults(monkeypatch, no_proxy):
    process = subprocess.Popen(
        [sys.executable, "-m", "tavori_pay_sandbox", "--port", "0", "--db", ":memory:", "--account", "c:s",
         "--fail-next", "1", "--failure", "503", "--duplicate-deliveries", "2"],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    receiver = Receiver()
    try:
        url = re.search(r"listening on (\S+)", process.stdout.readline()).group(1)
        monkeypatch.setenv("TAVORI_PAY_BASE_URL", url)
        client = Client("c", "s")
        with pytest.raises(RuntimeError, match="^HTTP 503"):
            client.create_payment(1, "CNY", "a", receiver.url)
        order_id = client.create_payment(1, "CNY", "a", receiver.url).order_id
        urllib_post(f"{url}/pay/{order_id}/decline")
        assert statuses(receiver, client, 2) == ["failed", "failed"]
    finally:
        process.kill()
        process.wait(10)
        receiver.server.shutdown()
        receiver.server.server_close()


def urllib_post(url: str) -> None:
    urllib.request.urlopen(urllib.request.Request(url, b"", method="POST"), timeout=10).read()


def test_the_pytest_plugin_gives_each_test_a_fresh_sandbox(pytester, no_proxy):
    pytester.makepyfile(textwrap.dedent("""
        import os
        import tavori_pay

        def test_pays(tavori_sandbox):
            client = tavori_pay.Client(tavori_sandbox.community_key, tavori_sandbox.sponsor_key)
            order_id = client.create_payment(5, "CNY", "a", "http://127.0.0.1:9/n").order_id
            tavori_sandbox.pay(order_id)
            assert client.query_order(order_id).pay_status_text == "paid"
            assert os.environ["TAVORI_PAY_BASE_URL"] == tavori_sandbox.url

        def test_starts_with_nothing(tavori_sandbox):
            assert tavori_sandbox.store.orders() == []

        def test_leaves_the_environment_as_it_was():
            assert "TAVORI_PAY_BASE_URL" not in os.environ
    """))
    result = pytester.runpytest_subprocess("-p", "no:randomly", "-p", "no:cacheprovider")
    result.assert_outcomes(passed=3)


def test_the_pytest_plugin_sets_a_django_projects_keys(pytester, no_proxy):
    pytester.makepyfile(settings=textwrap.dedent("""
        SECRET_KEY = "x"
        INSTALLED_APPS = []
        TAVORI_PAY = {"PUBLIC_URL": "https://shop.example", "COMMUNITY_KEY": "real", "SPONSOR_KEYS": ["real"]}
    """))
    pytester.makepyfile(textwrap.dedent("""
        from django.conf import settings

        def test_keys(tavori_sandbox):
            assert settings.TAVORI_PAY == {"PUBLIC_URL": "https://shop.example",
                                           "COMMUNITY_KEY": tavori_sandbox.community_key,
                                           "SPONSOR_KEYS": [tavori_sandbox.sponsor_key]}

        def test_restored():
            assert settings.TAVORI_PAY["COMMUNITY_KEY"] == "real"
    """))
    result = pytester.runpytest_subprocess("-p", "pytest_django", "--ds", "settings", "-p", "no:cacheprovider")
    result.assert_outcomes(passed=2)


# Tests that run a project in fresh interpreters: they check the harness,
# not the module's memory, and each takes minutes under a sanitizer.
IN_SUBPROCESSES = "a project run in subprocesses: minutes under a sanitizer, nothing of the module's to check"


class SilentListener:
    """A notify URL that takes connections and never answers them."""

    def __init__(self):
        self.socket = socket.create_server(("127.0.0.1", 0))
        self.url = f"http://127.0.0.1:{self.socket.getsockname()[1]}/notify"
        self.connected = threading.Event()
        self.connections: list[socket.socket] = []
        self.accepting = threading.Thread(target=self._accept, daemon=True)
        self.accepting.start()

    def _accept(self):
        while True:
            try:
                connection, _ = self.socket.accept()
            except OSError:
                return
            self.connections.append(connection)
            self.connected.set()

    def close(self):
        for connection in self.connections:
            connection.close()
        # A close alone does not wake a thread blocked in accept(); a shutdown does.
        with contextlib.suppress(OSError):
            self.socket.shutdown(socket.SHUT_RDWR)
        self.socket.close()
        self.accepting.join(10)


@pytest.fixture
def silent():
    listener = SilentListener()
    yield listener
    listener.close()
    assert not listener.accepting.is_alive()  # a thread left running holds what it references to the end


def test_an_attempt_under_way_at_a_reset_is_never_recorded_after_it(silent, no_proxy):
    with Sandbox(log=lambda line: None) as sandbox:
        order_id = sandbox.client().create_payment(1, "CNY", "a", silent.url).order_id
        sandbox.pay(order_id)
        assert silent.connected.wait(10)
        sandbox.reset()
        silent.close()  # the attempt ends now, after the reset
        sandbox.wait_for_deliveries()
        assert sandbox.deliveries() == []


def test_stopping_with_an_attempt_under_way_is_quick_and_leaves_no_failing_thread(silent, no_proxy, monkeypatch):
    failures = []
    monkeypatch.setattr(threading, "excepthook", failures.append)
    sandbox = Sandbox(log=lambda line: None).start()
    order_id = sandbox.client().create_payment(1, "CNY", "a", silent.url).order_id
    sandbox.pay(order_id)
    assert silent.connected.wait(10)
    started = time.monotonic()
    sandbox.stop()
    assert time.monotonic() - started < 2.5
    workers = [thread for thread in threading.enumerate() if thread.name.endswith("(_work)")]  # deliveries
    silent.close()  # the attempt ends now, after the stop
    for thread in workers:
        thread.join(10)
    assert failures == []


def test_faults_for_all_orders_still_apply_to_an_order_with_faults_of_its_own(harness, receiver):
    client = harness.client()
    order_id = client.create_payment(1, "CNY", "a", receiver.url).order_id
    harness.send_wrong_signatures(1)  # for all orders
    harness.duplicate_deliveries(3, order_id=order_id)  # for this one
    harness.pay(order_id)
    attempts = harness.wait_for_deliveries(order_id, count=3)
    assert [attempt["attempt"] for attempt in attempts[:3]] == [1, 1, 1]
    delivered = [receiver.callbacks.get(timeout=10) for _ in range(3)]
    assert all(signature != harness.sign(body) for body, signature in delivered)


def test_a_status_query_finds_due_expiries_and_settlements_through_indexes(harness):
    """Every status query sweeps both first: a scan would read every open
    order, or every paid one not yet settled, on each question."""
    statements: list[str] = []
    harness.store._db.set_trace_callback(statements.append)
    try:
        harness.store.due_expiries(1.0)
        harness.store.due_settlements(1.0)
    finally:
        harness.store._db.set_trace_callback(None)
    plans = [" ".join(row["detail"] for row in harness.store._run(f"EXPLAIN QUERY PLAN {sql}"))
             for sql in statements if sql.startswith("SELECT")]
    assert len(plans) == 2
    assert "USING INDEX orders_by_expiry" in plans[0]
    assert "USING INDEX orders_by_settlement" in plans[1]


@pytest.mark.skipif(os.environ.get("TAVORI_PAY_SANITIZED") == "1", reason=IN_SUBPROCESSES)
def test_the_pytest_plugin_retries_on_the_services_schedule_as_the_clock_moves(pytester, no_proxy):
    pytester.makepyfile(textwrap.dedent("""
        def test_retries(tavori_sandbox):
            order_id = tavori_sandbox.client().create_payment(5, "CNY", "a", "http://127.0.0.1:9/n").order_id
            tavori_sandbox.decline(order_id)
            first = tavori_sandbox.wait_for_deliveries(order_id, count=1)[0]
            assert tavori_sandbox.store.next_pending(order_id)["due"] - first["at"] >= 1  # 1 s on the clock
            assert len(tavori_sandbox.wait_for_deliveries(order_id)) == 1
            tavori_sandbox.advance(1)
            assert len(tavori_sandbox.wait_for_deliveries(order_id, count=2)) == 2
    """))
    result = pytester.runpytest_subprocess("-p", "no:cacheprovider")
    result.assert_outcomes(passed=1)


@pytest.mark.skipif(os.environ.get("TAVORI_PAY_SANITIZED") == "1", reason=IN_SUBPROCESSES)
def test_the_pytest_plugin_undoes_a_tests_own_settings_and_gives_plain_clients_its_keys(pytester, no_proxy):
    pytester.makepyfile(settings=textwrap.dedent("""
        SECRET_KEY = "x"
        INSTALLED_APPS = []
        TAVORI_PAY = {"PUBLIC_URL": "https://shop.example", "COMMUNITY_KEY": "real", "SPONSOR_KEYS": ["real"]}
    """))
    (pytester.path / "auth_key.py").write_text('COMMUNITY_KEY = "real"\\nSPONSOR_KEY = "real"\\n')
    pytester.makepyfile(textwrap.dedent("""
        import tavori_pay
        from django.conf import settings as django_settings

        PROJECT = {"PUBLIC_URL": "https://shop.example", "COMMUNITY_KEY": "real", "SPONSOR_KEYS": ["real"]}

        def test_settings_first(settings, tavori_sandbox):
            settings.TAVORI_PAY = {**settings.TAVORI_PAY, "PUBLIC_URL": "https://other.example"}

        def test_sandbox_first(tavori_sandbox, settings):
            settings.TAVORI_PAY = {**settings.TAVORI_PAY, "PUBLIC_URL": "https://other.example"}

        def test_restored():
            assert django_settings.TAVORI_PAY == PROJECT
            assert not hasattr(django_settings, "WORKING_SPACE")

        def test_a_plain_client_gets_the_sandboxs_keys(tavori_sandbox):
            tavori_pay.Client().create_payment(5, "CNY", "a", "http://127.0.0.1:9/n")
    """))
    result = pytester.runpytest_subprocess("-p", "pytest_django", "--ds", "settings", "-p", "no:cacheprovider",
                                           "-p", "no:randomly")
    result.assert_outcomes(passed=4)


NEWCOMER_SETTINGS = """
SECRET_KEY = "x"
DEBUG = False
ALLOWED_HOSTS = ["*"]
USE_TZ = True
INSTALLED_APPS = ["django.contrib.contenttypes", "django.contrib.auth", "tavori_pay_django"]
ROOT_URLCONF = "urls"
STATIC_URL = "static/"
DATABASES = {"default": {"ENGINE": "django.db.backends.sqlite3", "NAME": "db.sqlite3",
                         "OPTIONS": {"transaction_mode": "IMMEDIATE"}}}
"""

NEWCOMER_TESTS = """
from decimal import Decimal

import tavori_pay
from django.test import LiveServerTestCase, TestCase
from tavori_pay_django import start_payment
from tavori_pay_django.models import Payment
from tavori_pay_django.signals import payment_status_changed
from tavori_pay_sandbox.django_testing import SandboxMixin


class CallbackTests(SandboxMixin, LiveServerTestCase):
    def test_a_paid_order_reaches_the_project_and_its_receivers(self):
        fulfilled = []
        payment_status_changed.connect(lambda sender, new, **kwargs: fulfilled.append(new), weak=False,
                                       dispatch_uid="fulfil")
        self.addCleanup(payment_status_changed.disconnect, dispatch_uid="fulfil")
        payment = start_payment(Decimal("12.50"), "CNY", reference="o-1", recipient_account="artist")
        self.tavori_sandbox.pay(payment.order_id)
        self.tavori_sandbox.wait_for_deliveries(payment.order_id, count=1)
        self.assertEqual(Payment.objects.get().status, "paid")
        self.assertEqual(fulfilled, ["paid"])


class CheckoutTests(SandboxMixin, TestCase):
    def test_each_test_starts_with_a_fresh_sandbox_and_a_plain_client_has_its_keys(self):
        self.assertEqual(self.tavori_sandbox.store.orders(), [])
        tavori_pay.Client().create_payment(5, "CNY", "a", "http://127.0.0.1:9/n")

    def test_again(self):
        self.assertEqual(self.tavori_sandbox.store.orders(), [])
"""


@pytest.mark.skipif(os.environ.get("TAVORI_PAY_SANITIZED") == "1", reason=IN_SUBPROCESSES)
def test_a_newcomers_tests_pass_under_djangos_own_runner_with_no_keys_set(tmp_path, no_proxy):
    (tmp_path / "settings.py").write_text(NEWCOMER_SETTINGS)
    (tmp_path / "urls.py").write_text('from django.urls import include, path\n'
                                      'urlpatterns = [path("payments/", include("tavori_pay_django.urls"))]\n')
    (tmp_path / "tests.py").write_text(NEWCOMER_TESTS)
    environment = {**os.environ, "DJANGO_SETTINGS_MODULE": "settings", "PYTHONPATH": str(tmp_path)}
    environment.pop("TAVORI_PAY_BASE_URL", None)
    run = subprocess.run([sys.executable, "-m", "django", "test", "-v", "1"], cwd=tmp_path, env=environment,
                         capture_output=True, text=True, timeout=120)
    output = run.stdout + run.stderr
    assert run.returncode == 0, output
    assert "Ran 3 tests" in output and "OK" in output
    assert "tavori_pay." not in output  # no check message stopped or cluttered it
    assert "/alipayment/" not in output  # the sandbox is quiet
    for command in (["makemigrations", "--check", "--dry-run"], ["migrate", "--plan"], ["showmigrations"]):
        done = subprocess.run([sys.executable, "-m", "django", *command], cwd=tmp_path, env=environment,
                              capture_output=True, text=True, timeout=120)
        assert done.returncode == 0, done.stdout + done.stderr
