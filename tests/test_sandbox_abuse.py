"""The sandbox under the requests and events a careless or hostile client, a
restart or a busy port bring: each gets a clear answer, nothing is lost."""

from __future__ import annotations

import http.client
import json
import re
import signal
import socket
import subprocess
import sys
import threading
import time
import urllib.request
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest
from test_sandbox import COMMUNITY, SPONSOR

from tavori_pay import Client
from tavori_pay_sandbox import Account, Sandbox
from tavori_pay_sandbox import handler as sandbox_handler

pytestmark = pytest.mark.usefixtures("no_proxy")


@pytest.fixture
def no_proxy(monkeypatch):
    for proxy in ("http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"):
        monkeypatch.delenv(proxy, raising=False)


@pytest.fixture
def sandbox(monkeypatch):
    logged: list[str] = []
    with Sandbox(accounts=[Account(COMMUNITY, SPONSOR)], callback_first_delay=0.01, sweep_interval=0.005,
                 workers=4, log=logged.append) as service:
        service.logged = logged
        monkeypatch.setenv("TAVORI_PAY_BASE_URL", service.url)
        yield service


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def exchange(sandbox: Sandbox, raw: bytes) -> bytes:
    """Sends raw bytes and returns everything the sandbox answers before closing."""
    host, port = sandbox.url.removeprefix("http://").split(":")
    with socket.create_connection((host, int(port)), timeout=5) as connection:
        connection.sendall(raw)
        answer = b""
        while chunk := connection.recv(65536):
            answer += chunk
    return answer


def status_of(answer: bytes) -> int:
    return int(answer.split(b" ", 2)[1])


def new_order(sandbox: Sandbox, **kwargs) -> str:
    kwargs.setdefault("notify_url", "http://127.0.0.1:9/n")
    return Client(COMMUNITY, SPONSOR).create_payment(5, "CNY", "artist", **kwargs).order_id


@pytest.mark.parametrize("request_line, status", [
    (b"garbage\r\n\r\n", 400),
    (b"GET /sandbox/orders HTTP/9.9\r\n\r\n", 505),
    (b"GET /" + b"a" * 70_000 + b" HTTP/1.1\r\n\r\n", 414),
])
def test_malformed_http_is_answered_and_logged_in_one_line(sandbox, capfd, request_line, status):
    before = len(sandbox.logged)
    assert status_of(exchange(sandbox, request_line)) == status
    assert len(sandbox.logged[before:]) == 1
    assert "Traceback" not in capfd.readouterr().err


@pytest.mark.parametrize("target", ["/alipayment/sponsor/pay/", "/pay/{order}/pay", "/pay/{order}/decline",
                                    "/sandbox/orders/{order}/refund"])
@pytest.mark.parametrize("length, status", [
    ("abc", 400), ("-1", 400), (str(10**12), 413), (str(2**63), 413), ("1" * 30, 400), (None, 411),
])
def test_a_bad_content_length_is_answered_at_once(sandbox, capfd, target, length, status):
    head = f"POST {target.format(order=new_order(sandbox))} HTTP/1.1\r\nHost: x\r\n"
    head += "Content-Type: application/x-www-form-urlencoded\r\n"
    if length is not None:
        head += f"Content-Length: {length}\r\n"
    assert status_of(exchange(sandbox, (head + "\r\n").encode())) == status
    assert "Traceback" not in capfd.readouterr().err


def test_silent_and_trickling_clients_cannot_hold_every_worker(sandbox, monkeypatch):
    monkeypatch.setattr(sandbox_handler, "REQUEST_DEADLINE", 1.0)
    host, port = sandbox.url.removeprefix("http://").split(":")
    silent = [socket.create_connection((host, int(port))) for _ in range(8)]
    trickling = [socket.create_connection((host, int(port)), timeout=10) for _ in range(3)]
    cut_off: list[float] = []

    def trickle(connection: socket.socket) -> None:
        started = time.monotonic()
        connection.sendall(b"POST /alipayment/sponsor/pay/ HTTP/1.1\r\n")
        try:
            while True:  # one header line at a time, as slowly as the attack would
                connection.sendall(b"X-Slow: 1\r\n")
                connection.settimeout(0.3)
                try:
                    if connection.recv(1) == b"":
                        break
                except TimeoutError:
                    continue
        except OSError:
            pass
        cut_off.append(time.monotonic() - started)

    threads = [threading.Thread(target=trickle, args=(connection,)) for connection in trickling]
    for thread in threads:
        thread.start()
    try:
        socket.setdefaulttimeout(5)
        client = Client(COMMUNITY, SPONSOR)
        order_id = client.create_payment(1, "CNY", "a", "http://127.0.0.1:9/n").order_id
        assert client.query_order(order_id).pay_status == 0
    finally:
        socket.setdefaulttimeout(None)
        for thread in threads:
            thread.join(10)
        for connection in silent + trickling:
            connection.close()
    # Cut off at the deadline of the whole request, not per line read: a
    # trickler that nothing cuts off runs until its connection is closed,
    # after the ten seconds the joins above wait.
    assert len(cut_off) == 3 and max(cut_off) < 8


def location_after_paying(sandbox: Sandbox, order_id: str) -> str:
    host, port = sandbox.url.removeprefix("http://").split(":")
    connection = http.client.HTTPConnection(host, int(port), timeout=5)
    connection.request("POST", f"/pay/{order_id}/pay", b"")
    response = connection.getresponse()
    assert response.status == 303
    return response.getheader("Location")


def test_a_non_ascii_return_url_is_sent_percent_encoded(sandbox):
    order_id = new_order(sandbox, return_url="https://shop.example/完成?o=1 2")
    assert location_after_paying(sandbox, order_id) == "https://shop.example/%E5%AE%8C%E6%88%90?o=1%202"


def test_a_control_character_in_a_url_is_refused_before_any_header_carries_it(sandbox):
    with pytest.raises(RuntimeError, match="^return_url must not contain control characters$"):
        new_order(sandbox, return_url="http://h/done\r\nSet-Cookie: evil=1")
    assert location_after_paying(sandbox, new_order(sandbox, return_url="http://h/done")) == "http://h/done"


def test_a_paid_order_is_refunded_whatever_the_settlement_sweep_does_meanwhile(sandbox):
    order_ids = [new_order(sandbox) for _ in range(150)]
    refused = []
    for order_id in order_ids:
        sandbox.pay(order_id)
        if sandbox.refund(order_id) is None:
            refused.append(order_id)
    assert refused == []
    assert {sandbox.store.order(order_id)["refund_status"] for order_id in order_ids} == {1}


class Listener:
    """A notify URL on a chosen port, started only when the test wants it up."""

    def __init__(self, port: int):
        self.bodies: list[dict] = []
        self.arrived = threading.Condition()
        listener = self

        class Handler(BaseHTTPRequestHandler):
            def do_POST(self):
                body = json.loads(self.rfile.read(int(self.headers["Content-Length"])))
                with listener.arrived:  # before answering, so that the list keeps the order of sending
                    listener.bodies.append(body)
                    listener.arrived.notify_all()
                self.send_response(200)
                self.send_header("Content-Length", "0")
                self.end_headers()

            def log_message(self, *args):
                pass

        self.server = ThreadingHTTPServer(("127.0.0.1", port), Handler)
        threading.Thread(target=self.server.serve_forever, kwargs={"poll_interval": 0.01}, daemon=True).start()

    def wait_for(self, count: int, seconds: float) -> list[dict]:
        with self.arrived:
            self.arrived.wait_for(lambda: len(self.bodies) >= count, seconds)
            return list(self.bodies)


def start_cli(database: str) -> tuple[subprocess.Popen, str, tuple[str, str]]:
    process = subprocess.Popen(
        [sys.executable, "-m", "tavori_pay_sandbox", "--port", "0", "--db", database, "--retry-delay", "1"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    url = re.search(r"listening on (\S+)", process.stdout.readline()).group(1)
    keys = re.search(r"COMMUNITY_KEY=(\S+) SPONSOR_KEY=(\S+)", process.stdout.readline()).groups()
    for line in process.stdout:
        if line.startswith("Orders: "):
            return process, url, keys
    raise AssertionError("the sandbox did not start")


def attempts(url: str, order_id: str) -> list[tuple[str, int]]:
    orders = json.loads(urllib.request.urlopen(f"{url}/sandbox/orders.json", timeout=5).read())
    order = next(order for order in orders if order["order_id"] == order_id)
    return [(delivery["event"], delivery["attempt"]) for delivery in order["deliveries"]]


def test_a_restart_keeps_the_demo_account_and_resumes_waiting_callbacks(tmp_path, monkeypatch):
    database, notify_port = str(tmp_path / "kept.sqlite3"), free_port()
    first, url, keys = start_cli(database)
    try:
        monkeypatch.setenv("TAVORI_PAY_BASE_URL", url)
        order_id = Client(*keys).create_payment(8, "CNY", "a", f"http://127.0.0.1:{notify_port}/n").order_id
        urllib.request.urlopen(urllib.request.Request(f"{url}/pay/{order_id}/pay", b"", method="POST"), timeout=5)
        for line in first.stderr:  # the sandbox logs each attempt as it ends
            if f"callback paid for {order_id}" in line and "attempt 2," in line:
                break
        assert attempts(url, order_id) == [("paid", 1), ("paid", 2)]
        first.send_signal(signal.SIGTERM)
        assert first.wait(10) == 0
    finally:
        first.kill()

    listener = Listener(notify_port)
    second, url, kept_keys = start_cli(database)
    try:
        assert kept_keys == keys
        monkeypatch.setenv("TAVORI_PAY_BASE_URL", url)
        assert Client(*keys).query_order(order_id).pay_status == 1
        bodies = listener.wait_for(2, 20)
        assert [body["status"] for body in bodies] == ["paid", "settled"]
        for line in second.stderr:  # the attempt is recorded once its answer is in
            if f"callback settled for {order_id}" in line:
                break
        assert attempts(url, order_id)[2:] == [("paid", 3), ("settled", 1)]
    finally:
        second.kill()
        listener.server.shutdown()
        listener.server.server_close()


def test_a_taken_port_is_named_and_ends_the_command_with_failure():
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        done = subprocess.run([sys.executable, "-m", "tavori_pay_sandbox", "--port", str(taken.getsockname()[1]),
                               "--db", ":memory:"], capture_output=True, text=True, timeout=30)
    assert done.returncode == 1
    assert "Address already in use" in done.stderr and "Traceback" not in done.stderr


def test_a_notify_url_without_a_scheme_is_a_failed_attempt_not_a_dead_delivery_thread(sandbox):
    order_id = new_order(sandbox, notify_url="shop.example/payments/notify/")
    sandbox.pay(order_id)
    attempts = sandbox.wait_for_deliveries(order_id, count=2)
    outcome = "failed: unknown url type: 'shop.example/payments/notify/'"
    assert [attempt["outcome"] for attempt in attempts[:2]] == [outcome] * 2
