"""The local sandbox of the payment service: it accepts every request the
module sends, refuses what the service would refuse, and moves orders
through payment, settlement, refunds and expiry with signed callbacks."""

from __future__ import annotations

import hashlib
import json
import re
import signal
import socket
import subprocess
import sys
import threading
import time
import urllib.error
import urllib.request
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import urlencode

import pytest
from conftest import sign

from tavori_pay import Client
from tavori_pay_sandbox import Account, Sandbox

COMMUNITY, SPONSOR = "shop-community", "shop-sponsor-secret"


@pytest.fixture
def sandbox(monkeypatch, tmp_path):
    logged: list[str] = []
    with Sandbox(db=str(tmp_path / "sandbox.sqlite3"), accounts=[Account(COMMUNITY, SPONSOR, "Test Shop")],
                 callback_first_delay=0.01, sweep_interval=0.02, log=logged.append) as service:
        service.logged = logged
        monkeypatch.setenv("TAVORI_PAY_BASE_URL", service.url)
        for proxy in ("http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"):
            monkeypatch.delenv(proxy, raising=False)
        yield service


@pytest.fixture
def client(sandbox) -> Client:
    return Client(COMMUNITY, SPONSOR)


def fresh_form(**changes) -> dict[str, str]:
    form = {"community_key": COMMUNITY, "sponsor_key": SPONSOR, "timestamp": str(int(time.time())),
            "nonce": hashlib.md5(str(time.perf_counter_ns()).encode()).hexdigest(), "amount": "10.00",
            "currency": "CNY", "recipient_account": "artist", "user_notify_url": "http://127.0.0.1:9/n",
            "pay_mode": "split"}
    form.update(changes)
    # A callable value is made now, not when the parameters were collected.
    return {name: value() if callable(value) else value for name, value in form.items() if value is not None}


def post_form(sandbox: Sandbox, form: dict[str, str], content_type="application/x-www-form-urlencoded"):
    request = urllib.request.Request(f"{sandbox.url}/alipayment/sponsor/pay/", urlencode(form).encode(),
                                     headers={"Content-Type": content_type})
    return json.loads(urllib.request.urlopen(request, timeout=10).read())


def signed_query(order_id: str, key: str = SPONSOR, **changes) -> str:
    fields = {"community_key": COMMUNITY, "timestamp": str(int(time.time())),
              "nonce": hashlib.md5(str(time.perf_counter_ns()).encode()).hexdigest()}
    fields.update(changes)
    signed = fields["community_key"] + fields["timestamp"] + fields["nonce"] + order_id
    fields["signature"] = sign(key, signed)
    fields["order_id"] = order_id
    return urlencode(fields)


def wait_for(condition, seconds: float = 10):
    deadline = time.time() + seconds
    while not condition() and time.time() < deadline:
        time.sleep(0.01)
    return condition()


def get_json(url: str):
    return json.loads(urllib.request.urlopen(url, timeout=10).read())


def press(sandbox: Sandbox, pay_url: str, button: str) -> str:
    page = urllib.request.urlopen(pay_url, timeout=10).read().decode()
    action = re.search(rf"action='(/pay/[^']+/{button})'", page).group(1)
    response = urllib.request.urlopen(urllib.request.Request(sandbox.url + action, b"", method="POST"), timeout=10)
    return response.geturl()


class TestRequestsTheModuleSends:
    @pytest.mark.parametrize("kwargs", [
        {}, {"pay_mode": "direct"}, {"return_url": "https://shop.example/done?o=1"},
        {"pay_mode": "direct", "recipient_account": ""},
    ])
    def test_accepted(self, client, kwargs):
        kwargs.setdefault("recipient_account", "artist@example.com")
        payment = client.create_payment(12.5, "CNY", notify_url="http://127.0.0.1:9/n", **kwargs)
        assert re.fullmatch(r"T\d{8}-[0-9a-f]{10}", payment.order_id)
        status = client.query_order(payment.order_id)
        assert (status.order_id, status.pay_status, status.pay_status_text) == (payment.order_id, 0, "awaiting payment")
        assert (status.amount, status.settle_amount, status.fail_reason) == ("12.50", "", "")
        assert re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d", status.expired)

    @pytest.mark.parametrize("amount, accepted", [
        (10, True), (0.01, True), (99999999.99, True), (0.1 + 0.2, False), (0, False), (-5, False),
        (float("nan"), False), (float("inf"), False), (0.001, False),
    ])
    def test_amounts(self, client, amount, accepted):
        if accepted:
            client.create_payment(amount, "CNY", "a", "http://127.0.0.1:9/n")
        else:
            with pytest.raises(RuntimeError, match="^Amount must be a positive decimal"):
                client.create_payment(amount, "CNY", "a", "http://127.0.0.1:9/n")


class TestRefusals:
    @pytest.mark.parametrize("changes, message", [
        ({"community_key": "nobody"}, "Unknown community key"),
        ({"sponsor_key": "wrong"}, "Sponsor key does not match the community key"),
        *[({"timestamp": lambda skew=skew: str(int(time.time()) + skew)},
           "Timestamp is more than 300 seconds away from the service clock") for skew in (-301, 400)],
        *[({"timestamp": odd}, "Timestamp must be whole seconds since 1970 in at most 12 decimal digits")
          for odd in ("soon", "\u00b2", "1" * 400, "1" * 5000,
                      "\u0661\u0667\u0660\u0660\u0660\u0660\u0660\u0660\u0660\u0660",
                      "\uff11\uff17\uff10\uff10\uff10\uff10\uff10\uff10\uff10\uff10", "-1")],
        ({"nonce": "short"}, "Nonce must be 32 lower-case hex digits"),
        ({"currency": None}, "Missing field: currency"),
        *[({"currency": odd}, f"Currency must be three upper-case letters (ISO 4217, such as CNY), not {odd!r}")
          for odd in ("XXXX", "cny", "USD ", "CN", "\uff23NY")],
        ({"user_notify_url": ""}, "Missing field: user_notify_url"),
        *[({"amount": odd}, "Amount must be a positive decimal below 10^15 with at most two fraction digits, "
                            f"not {odd[:40]!r}")
          for odd in ("1e3", "1" + "0" * 26, "1" * 16, "\u0661.00", "\u00b2")],
        *[({field: "http://shop.example/done" + control + "Set-Cookie: evil=1"},
           f"{field} must not contain control characters")
          for field in ("return_url", "user_notify_url") for control in ("\r\n", "\n", "\x00", "\x7f")],
        ({"pay_mode": "instalments"}, "Unknown pay_mode 'instalments': use 'split' or 'direct'"),
        ({"recipient_account": ""}, "A split payment needs recipient_account"),
    ])
    def test_create_payment(self, sandbox, changes, message):
        assert post_form(sandbox, fresh_form(**changes)) == {"detail": message}

    def test_replayed_nonce(self, sandbox):
        form = fresh_form()
        assert "data" in post_form(sandbox, form)
        assert post_form(sandbox, form) == {"detail": "Nonce was used before: the request is a replay"}

    def test_refusal_reaches_the_module_as_runtime_error(self, sandbox):
        with pytest.raises(RuntimeError, match="^Sponsor key does not match the community key$"):
            Client(COMMUNITY, "not-the-key").create_payment(1, "CNY", "a", "http://127.0.0.1:9/n")
        with pytest.raises(RuntimeError, match="^Invalid signature$"):
            Client(COMMUNITY, "not-the-key").query_order("T1")

    def test_order_queries(self, sandbox, client):
        order_id = client.create_payment(1, "CNY", "a", "http://127.0.0.1:9/n").order_id
        base = f"{sandbox.url}/alipayment/sponsor/order-status/?"
        assert get_json(base + signed_query(order_id, key="other")) == {"detail": "Invalid signature"}
        assert get_json(base + signed_query(order_id, timestamp="100")) == {
            "detail": "Timestamp is more than 300 seconds away from the service clock"}
        query = signed_query(order_id)
        assert "data" in get_json(base + query)
        assert get_json(base + query) == {"detail": "Nonce was used before: the request is a replay"}
        assert get_json(base + signed_query("T-none")) == {"detail": "Unknown order: T-none"}

    def test_an_order_is_visible_only_to_its_account(self, sandbox, client):
        sandbox.store.add_account(Account("other", "other-secret"))
        order_id = client.create_payment(1, "CNY", "a", "http://127.0.0.1:9/n").order_id
        with pytest.raises(RuntimeError, match=f"^Unknown order: {order_id}$"):
            Client("other", "other-secret").query_order(order_id)

    @pytest.mark.parametrize("method, path, body, content_type, status", [
        ("POST", "/alipayment/sponsor/pay/", b'{"amount": 1}', "application/json", 415),
        ("POST", "/alipayment/sponsor/pay/", b"a=1&&=", "application/x-www-form-urlencoded", 400),
        ("POST", "/alipayment/sponsor/pay/", b"\xff=1", "application/x-www-form-urlencoded", 400),
        ("GET", "/alipayment/sponsor/pay/", None, None, 405),
        ("POST", "/alipayment/sponsor/order-status/", b"", "application/x-www-form-urlencoded", 405),
        ("PUT", "/alipayment/sponsor/pay/", b"", "text/plain", 405),
        ("GET", "/elsewhere", None, None, 404),
    ])
    def test_malformed_requests_get_a_4xx_with_a_plain_body(self, sandbox, method, path, body, content_type, status):
        request = urllib.request.Request(sandbox.url + path, body, method=method,
                                         headers={"Content-Type": content_type} if content_type else {})
        with pytest.raises(urllib.error.HTTPError) as raised:
            urllib.request.urlopen(request, timeout=10)
        assert raised.value.code == status
        assert raised.value.headers.get_content_type() == "text/plain"
        assert raised.value.read().strip()


class TestOrderLifecycle:
    def test_pay_page_shows_the_order(self, sandbox, client):
        payment = client.create_payment(100, "CNY", "artist@example.com", "http://127.0.0.1:9/n")
        page = urllib.request.urlopen(payment.pay_url, timeout=10).read().decode()
        for text in ("Test Shop", "100.00 CNY", payment.order_id, "split",
                     "artist@example.com receives 30.00 CNY", "id='pay'", "id='decline'"):
            assert text in page

    def test_paying_sends_paid_then_settled_and_redirects_to_the_return_url(self, sandbox, client, receiver):
        payment = client.create_payment(128, "CNY", "artist", receiver.url, return_url="http://127.0.0.1:9/done")
        with pytest.raises(urllib.error.URLError):  # the redirect goes to the (absent) shop
            press(sandbox, payment.pay_url, "pay")
        paid, settled = receiver.next(client), receiver.next(client)
        assert paid == {"status": "paid", "order_id": payment.order_id, "amount": "128.00",
                        "settle_amount": "", "reason": "", "expired": paid["expired"]}
        assert (settled["status"], settled["settle_amount"]) == ("settled", "89.60")
        status = client.query_order(payment.order_id)
        assert (status.pay_status, status.settle_status, status.settle_amount) == (1, 1, "89.60")

    def test_direct_payment_settles_the_whole_amount(self, sandbox, client, receiver):
        payment = client.create_payment(50, "CNY", "", receiver.url, pay_mode="direct")
        assert press(sandbox, payment.pay_url, "pay").endswith(f"/pay/{payment.order_id}")
        assert [receiver.next(client)["status"] for _ in range(2)] == ["paid", "settled"]
        assert client.query_order(payment.order_id).settle_amount == "50.00"

    def test_declining_fails_the_order_with_a_reason(self, sandbox, client, receiver):
        payment = client.create_payment(5, "CNY", "a", receiver.url)
        press(sandbox, payment.pay_url, "decline")
        callback = receiver.next(client)
        assert (callback["status"], callback["reason"]) == ("failed", "declined by the payer")
        status = client.query_order(payment.order_id)
        assert (status.pay_status, status.pay_status_text, status.fail_reason) == (2, "declined",
                                                                                   "declined by the payer")
        assert "This order is declined" in urllib.request.urlopen(payment.pay_url, timeout=10).read().decode()

    def test_pay_and_decline_at_once_move_the_order_once(self, sandbox, client, receiver):
        payment = client.create_payment(5, "CNY", "a", receiver.url)
        threads = [threading.Thread(target=sandbox.pay if i % 2 else sandbox.decline, args=(payment.order_id,))
                   for i in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        first = receiver.next(client)["status"]
        assert first in ("paid", "failed")
        time.sleep(0.2)
        later = [receiver.callbacks.get_nowait()[0] for _ in range(receiver.callbacks.qsize())]
        assert all('"settled"' in body for body in later) and len(later) <= 1

    def test_each_callback_carries_the_state_its_own_change_left(self, sandbox, client, receiver):
        # Settlement races every payment here; a paid callback must still say
        # "not settled yet" and come before its settled callback.
        stop = threading.Event()
        settler = threading.Thread(target=lambda: [sandbox.settle_due() for _ in iter(stop.is_set, True)])
        interval = sys.getswitchinterval()
        sys.setswitchinterval(1e-6)  # switch threads as often as possible, to meet the race
        settler.start()
        try:
            orders = [client.create_payment(10, "CNY", "a", receiver.url).order_id for _ in range(20)]
            for order_id in orders:
                sandbox.pay(order_id)
        finally:
            stop.set()
            settler.join()
            sys.setswitchinterval(interval)
        seen: dict[str, list] = {}
        for _ in range(40):
            callback = receiver.next(client)
            seen.setdefault(callback["order_id"], []).append((callback["status"], callback["settle_amount"]))
        assert all(events == [("paid", ""), ("settled", "7.00")] for events in seen.values()), seen

    def test_unpaid_orders_expire(self, sandbox, client, receiver):
        sandbox.order_ttl = 0.05
        payment = client.create_payment(5, "CNY", "a", receiver.url)
        callback = receiver.next(client)
        assert (callback["status"], callback["reason"]) == ("expired", "not paid before it expired")
        assert client.query_order(payment.order_id).pay_status_text == "expired"

    def test_refund_reverses_the_settlement(self, sandbox, client, receiver):
        payment = client.create_payment(20, "CNY", "a", receiver.url)
        press(sandbox, payment.pay_url, "pay")
        assert [receiver.next(client)["status"] for _ in range(2)] == ["paid", "settled"]
        refund = urllib.request.Request(f"{sandbox.url}/sandbox/orders/{payment.order_id}/refund", b"", method="POST")
        urllib.request.urlopen(refund, timeout=10)
        assert receiver.next(client)["status"] == "refunded"
        status = client.query_order(payment.order_id)
        assert (status.refund_status_text, status.settle_status_text) == ("refunded", "reversed")
        with pytest.raises(urllib.error.HTTPError) as raised:
            urllib.request.urlopen(refund, timeout=10)
        assert raised.value.code == 409

    def test_callbacks_are_retried_until_delivered(self, sandbox, client, receiver):
        receiver.failures = 2
        payment = client.create_payment(5, "CNY", "a", receiver.url)
        sandbox.decline(payment.order_id)
        assert receiver.next(client)["status"] == "failed"
        # The receiver may see the callback before the sandbox records its outcome.
        assert wait_for(lambda: len(sandbox.store.deliveries(payment.order_id)) == 3)
        outcomes = [d["outcome"] for d in sandbox.store.deliveries(payment.order_id)]
        assert outcomes == ["failed: HTTP 500", "failed: HTTP 500", "delivered (HTTP 200)"]

    def test_a_redirect_is_a_failed_attempt_retried_never_followed(self, sandbox, client, receiver):
        login = receiver.url.replace("/notify", "/login?next=/notify")
        receiver.redirects = [(302, login), (301, receiver.url.replace("http:", "https:"))]
        payment = client.create_payment(5, "CNY", "a", receiver.url)
        sandbox.decline(payment.order_id)
        assert receiver.next(client)["status"] == "failed"
        assert wait_for(lambda: len(sandbox.store.deliveries(payment.order_id)) == 3)
        assert [d["outcome"] for d in sandbox.store.deliveries(payment.order_id)] == [
            f"failed: HTTP 302 to {login}", f"failed: HTTP 301 to {receiver.url.replace('http:', 'https:')}",
            "delivered (HTTP 200)"]

    def test_retries_are_bounded(self, sandbox, client):
        payment = client.create_payment(5, "CNY", "a", "http://127.0.0.1:9/unreachable")
        sandbox.decline(payment.order_id)
        assert wait_for(lambda: len(sandbox.store.deliveries(payment.order_id)) >= 5)
        time.sleep(0.5)
        attempts = sandbox.store.deliveries(payment.order_id)
        assert [d["attempt"] for d in attempts] == [1, 2, 3, 4, 5]
        assert all(d["outcome"].startswith("failed") for d in attempts)

    def test_orders_page_lists_states_and_deliveries(self, sandbox, client, receiver):
        payment = client.create_payment(7, "USD", "a", receiver.url)
        sandbox.decline(payment.order_id)
        receiver.next(client)
        assert wait_for(lambda: sandbox.store.deliveries(payment.order_id))
        page = urllib.request.urlopen(f"{sandbox.url}/sandbox/orders", timeout=10).read().decode()
        assert payment.order_id in page and "7.00 USD" in page and "declined" in page
        assert "failed #1: delivered (HTTP 200)" in page
        listed = get_json(f"{sandbox.url}/sandbox/orders.json")
        assert listed[0]["order_id"] == payment.order_id and listed[0]["deliveries"][0]["event"] == "failed"


def test_orders_survive_a_restart(tmp_path, monkeypatch):
    database = str(tmp_path / "kept.sqlite3")
    with Sandbox(db=database, accounts=[Account(COMMUNITY, SPONSOR)], log=lambda line: None) as first:
        monkeypatch.setenv("TAVORI_PAY_BASE_URL", first.url)
        order_id = Client(COMMUNITY, SPONSOR).create_payment(3, "CNY", "a", "http://127.0.0.1:9/n").order_id
    with Sandbox(db=database, log=lambda line: None) as second:
        monkeypatch.setenv("TAVORI_PAY_BASE_URL", second.url)
        assert Client(COMMUNITY, SPONSOR).query_order(order_id).amount == "3.00"


def test_concurrent_clients_each_get_their_order(sandbox):
    results, client = [], Client(COMMUNITY, SPONSOR)

    def work(i):
        payment = client.create_payment(i + 1, "CNY", "a", "http://127.0.0.1:9/n")
        results.append((i, client.query_order(payment.order_id).amount))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(16)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert sorted(results) == [(i, f"{i + 1}.00") for i in range(16)]


def test_idle_connections_hold_up_only_their_own_workers(monkeypatch):
    with Sandbox(accounts=[Account(COMMUNITY, SPONSOR)], workers=3, log=lambda line: None) as sandbox:
        monkeypatch.setenv("TAVORI_PAY_BASE_URL", sandbox.url)
        host, port = sandbox.url.removeprefix("http://").split(":")
        idle = [socket.create_connection((host, int(port))) for _ in range(2)]
        # Shorter than the time after which the sandbox drops an idle connection.
        socket.setdefaulttimeout(5)
        try:
            client = Client(COMMUNITY, SPONSOR)
            order_ids = [client.create_payment(1, "CNY", "a", "http://127.0.0.1:9/n").order_id for _ in range(5)]
            assert [client.query_order(order_id).order_id for order_id in order_ids] == order_ids
        finally:
            socket.setdefaulttimeout(None)
            for connection in idle:
                connection.close()


def test_log_lines_name_requests_and_never_the_sponsor_key(sandbox, client):
    client.create_payment(1, "CNY", "a", "http://127.0.0.1:9/n")
    with pytest.raises(RuntimeError, match="Unknown order"):
        client.query_order("T-x")
    assert "POST /alipayment/sponsor/pay/ 200" in sandbox.logged
    assert "GET /alipayment/sponsor/order-status/ 200" in sandbox.logged
    assert not any(SPONSOR in line for line in sandbox.logged)


def test_command_line_serves_prints_its_port_and_stops_cleanly_on_ctrl_c(tmp_path):
    process = subprocess.Popen(
        [sys.executable, "-m", "tavori_pay_sandbox", "--port", "0", "--db", ":memory:",
         "--auth-key-dir", str(tmp_path)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        url = re.search(r"listening on (http://127\.0\.0\.1:\d+)", process.stdout.readline()).group(1)
        keys = re.search(r"COMMUNITY_KEY=(\S+) SPONSOR_KEY=(\S+)", process.stdout.readline()).groups()
        assert (tmp_path / "auth_key.py").read_text() == f'COMMUNITY_KEY = "{keys[0]}"\nSPONSOR_KEY = "{keys[1]}"\n'
        for line in process.stdout:  # the banner's last line: the server is serving
            if line.startswith("Orders: "):
                break
        urllib.request.urlopen(f"{url}/sandbox/orders", timeout=10).read()
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=10)
    finally:
        process.kill()
    assert process.returncode == 0
    assert "GET /sandbox/orders 200" in err
    assert keys[1] not in out + err


def trigger(url: str, order_id: str, action: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", "tavori_pay_sandbox", "trigger", order_id, action, "--url", url],
                          capture_output=True, text=True, timeout=60)


def test_trigger_moves_an_order_of_a_running_sandbox_from_another_terminal(receiver, monkeypatch):
    with Sandbox(accounts=[Account(COMMUNITY, SPONSOR)], settle_delay=3600, callback_first_delay=0.01,
                 log=lambda line: None) as sandbox:  # settled only when triggered
        monkeypatch.setenv("TAVORI_PAY_BASE_URL", sandbox.url)
        client = Client(COMMUNITY, SPONSOR)
        payment = client.create_payment(20, "CNY", "a", receiver.url)
        for action, status in (("paid", "paid"), ("settle", "settled"), ("refund", "refunded")):
            done = trigger(sandbox.url, payment.order_id, action)
            assert (done.returncode, done.stdout) == (0, f"{payment.order_id}: {action} done; its callback is on "
                                                         "its way\n")
            assert receiver.next(client)["status"] == status
        refused = trigger(sandbox.url, payment.order_id, "expire")
        assert (refused.returncode, refused.stderr) == (1, "expire refused: HTTP 409: Only an order waiting for "
                                                           "payment can expire\n")
        assert trigger(sandbox.url, "T-none", "paid").stderr == "paid refused: HTTP 404: No such order\n"
        url = sandbox.url
    gone = trigger(url, payment.order_id, "paid")
    assert gone.returncode == 1 and gone.stderr.startswith(f"no sandbox at {url}: ")


def test_sending_again_goes_at_once_with_the_callbacks_waiting_for_a_retry(monkeypatch):
    for proxy in ("http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"):
        monkeypatch.delenv(proxy, raising=False)
    received = []

    class Shop(BaseHTTPRequestHandler):
        def do_POST(self) -> None:
            received.append(json.loads(self.rfile.read(int(self.headers["Content-Length"])))["status"])
            self.send_response(200)
            self.send_header("Content-Length", "0")
            self.end_headers()

        def log_message(self, format: str, *args: object) -> None:
            pass

    shop = ThreadingHTTPServer(("127.0.0.1", 0), Shop, bind_and_activate=False)
    shop.server_bind()  # bound, not listening: the first attempt is refused
    notify_url = f"http://127.0.0.1:{shop.server_address[1]}/notify"
    with shop, Sandbox(accounts=[Account(COMMUNITY, SPONSOR)], callback_first_delay=3600,
                       log=lambda line: None) as sandbox:
        order_id = sandbox.client().create_payment(5, "CNY", "a", notify_url).order_id
        sandbox.decline(order_id)
        assert wait_for(lambda: len(sandbox.store.deliveries(order_id)) == 1)  # the next try in an hour
        shop.server_activate()
        threading.Thread(target=shop.serve_forever, kwargs={"poll_interval": 0.01}, daemon=True).start()
        assert sandbox.send_again(order_id, "failed") is not None
        assert wait_for(lambda: received == ["failed", "failed"])  # the waiting one, then the one sent again
        shop.shutdown()


def test_every_callback_on_the_orders_page_can_be_sent_again(sandbox, client, receiver):
    payment = client.create_payment(5, "CNY", "a", receiver.url)
    sandbox.decline(payment.order_id)
    first = receiver.next(client)
    assert wait_for(lambda: len(sandbox.store.deliveries(payment.order_id)) == 1)
    page = urllib.request.urlopen(f"{sandbox.url}/sandbox/orders", timeout=10).read().decode()
    form = re.search(r"<form method='post' action='([^']+)'[^>]*><input type='hidden' name='event' value='(\w+)'>"
                     r"<button type='submit'>send again</button></form>", page)
    assert form.groups() == (f"/sandbox/orders/{payment.order_id}/send-again", "failed")

    def send_again(event: str) -> int:
        request = urllib.request.Request(sandbox.url + form.group(1), urlencode({"event": event}).encode())
        try:
            return urllib.request.urlopen(request, timeout=10).status  # back on the orders page
        except urllib.error.HTTPError as error:
            return error.code

    assert send_again("failed") == 200
    assert receiver.next(client) == first  # the same callback, as the order stands
    assert wait_for(lambda: len(sandbox.store.deliveries(payment.order_id)) == 2)
    assert send_again("paid") == 409  # it never sent that one
