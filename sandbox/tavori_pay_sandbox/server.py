"""The sandbox service: the two API endpoints the client calls, the pay page,
the orders page and refunds, over one HTTP server with a pool of threads."""

from __future__ import annotations

import io
import json
import re
import secrets
import socket
import sys
import threading
import time
from decimal import ROUND_HALF_UP, Decimal
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler
from typing import Callable, Iterable
from urllib.parse import parse_qsl, quote, urlsplit

from . import pages, states
from .deliveries import Deliveries
from .pooled_server import PooledHTTPServer
from .rules import Refusal, check_payment, check_status_query
from .store import Account, Store, money

PAY_PATH = "/alipayment/sponsor/pay/"
STATUS_PATH = "/alipayment/sponsor/order-status/"
PAY_PAGE = re.compile(r"/pay/([A-Za-z0-9-]+)")
PAY_ACTION = re.compile(r"/pay/([A-Za-z0-9-]+)/(pay|decline)")
REFUND = re.compile(r"/sandbox/orders/([A-Za-z0-9-]+)/refund")
FORM_TYPE = "application/x-www-form-urlencoded"
MAX_BODY = 64 * 1024
# Seconds a client has to send a whole request, head and body, once it has
# started: a slow or stalled client gives its worker back after that.
REQUEST_DEADLINE = 10.0
# What stays as it is when a URL is percent-encoded for a header.
URL_SAFE = "/:?#[]@!$&'()*+,;=%~"


def _stderr(line: str) -> None:
    print(line, file=sys.stderr, flush=True)


class Sandbox:
    """The service with its state; start() serves it on a thread."""

    def __init__(self, *, host: str = "127.0.0.1", port: int = 0, db: str = ":memory:",
                 accounts: Iterable[Account] = (), order_ttl: float = 900.0, settle_delay: float = 0.0,
                 royalty_percent: Decimal = Decimal("30"), callback_attempts: int = 5,
                 callback_first_delay: float = 1.0, sweep_interval: float = 0.2, workers: int = 8,
                 log: Callable[[str], None] = _stderr):
        self.store = Store(db)
        for account in accounts:
            self.store.add_account(account)
        self.order_ttl, self.settle_delay = order_ttl, settle_delay
        self.royalty_percent = royalty_percent
        self.sweep_interval = sweep_interval
        self.log = log
        self.deliveries = Deliveries(self.store, callback_attempts, callback_first_delay, log)
        try:
            self._server = PooledHTTPServer((host, port), _handler_for(self), workers)
        except BaseException:
            self.store.close()
            raise
        self._stopping = threading.Event()
        self._moving = threading.RLock()
        self._threads: list[threading.Thread] = []

    @property
    def url(self) -> str:
        host, port = self._server.server_address[:2]
        return f"http://{host}:{port}"

    def start(self) -> "Sandbox":
        self.deliveries.resume()
        serve = lambda: self._server.serve_forever(poll_interval=0.05)  # noqa: E731
        for target in (serve, self._sweep):
            thread = threading.Thread(target=target, daemon=True)
            thread.start()
            self._threads.append(thread)
        return self

    def serve_forever(self) -> None:
        """Serves on the calling thread until interrupted (the command line's way)."""
        self.deliveries.resume()
        sweeper = threading.Thread(target=self._sweep, daemon=True)
        sweeper.start()
        try:
            self._server.serve_forever(poll_interval=0.2)
        finally:
            self._stopping.set()
            self.deliveries.stop()
            self._server.server_close()
            sweeper.join(5)
            self.store.close()

    def stop(self) -> None:
        self._stopping.set()
        self._server.shutdown()
        self._server.server_close()
        self.deliveries.stop()
        for thread in self._threads:
            thread.join(5)
        self.store.close()

    def __enter__(self) -> "Sandbox":
        return self.start()

    def __exit__(self, *exc_info) -> None:
        self.stop()

    # The service's actions. Each state change is conditional on the state it
    # leaves, so concurrent requests cannot both move an order.

    def create_order(self, form: dict[str, str]) -> dict[str, str]:
        now = time.time()
        account, amount = check_payment(self.store, form, now)
        order_id = f"T{time.strftime('%Y%m%d', time.gmtime(now))}-{secrets.token_hex(5)}"
        split = form["pay_mode"] == "split"
        share = (amount * self.royalty_percent / 100).quantize(Decimal("0.01"), ROUND_HALF_UP) if split else Decimal(0)
        self.store.add_order({
            "order_id": order_id, "community_key": account.community_key, "amount": money(amount),
            "currency": form["currency"], "recipient_account": form.get("recipient_account", ""),
            "recipient_share": money(share), "pay_mode": form["pay_mode"],
            "notify_url": form["user_notify_url"], "return_url": form.get("return_url", ""),
            "created": now, "expires": now + self.order_ttl, "pay_status": states.AWAITING_PAYMENT,
            "settle_status": states.NOT_SETTLED, "refund_status": states.NOT_REFUNDED,
            "settle_amount": "", "settle_due": None, "fail_reason": "",
        })
        return {"order_id": order_id, "pay_url": f"{self.url}/pay/{order_id}"}

    def order_status(self, query: dict[str, str]) -> dict:
        account = check_status_query(self.store, query, time.time())
        self.expire_due()
        order = self.store.order(query["order_id"])
        if order is None or order["community_key"] != account.community_key:
            raise Refusal(f"Unknown order: {query['order_id']}")
        return {
            "order_id": order["order_id"],
            "pay_status": order["pay_status"], "pay_status_text": states.PAY_TEXTS[order["pay_status"]],
            "settle_status": order["settle_status"],
            "settle_status_text": states.SETTLE_TEXTS[order["settle_status"]],
            "refund_status": order["refund_status"],
            "refund_status_text": states.REFUND_TEXTS[order["refund_status"]],
            "amount": order["amount"], "settle_amount": order["settle_amount"],
            "expired": pages.when(order["expires"]), "fail_reason": order["fail_reason"],
        }

    def pay(self, order_id: str) -> dict | None:
        self.expire_due()
        return self._move(order_id, {"pay_status": states.AWAITING_PAYMENT},
                          {"pay_status": states.PAID, "settle_due": time.time() + self.settle_delay}, "paid")

    def decline(self, order_id: str) -> dict | None:
        self.expire_due()
        return self._move(order_id, {"pay_status": states.AWAITING_PAYMENT},
                          {"pay_status": states.DECLINED, "fail_reason": "declined by the payer"}, "failed")

    def refund(self, order_id: str) -> dict | None:
        # Read and changed under the lock every move takes, so that the
        # settlement sweep cannot change the order in between.
        with self._moving:
            order = self.store.order(order_id)
            if order is None:
                return None
            changes: dict = {"refund_status": states.REFUNDED}
            if order["settle_status"] == states.SETTLED:
                changes["settle_status"] = states.REVERSED
            return self._move(order_id, {"pay_status": states.PAID, "refund_status": states.NOT_REFUNDED,
                                         "settle_status": order["settle_status"]}, changes, "refunded")

    def expire_due(self) -> None:
        for order_id in self.store.due_expiries(time.time()):
            self._move(order_id, {"pay_status": states.AWAITING_PAYMENT},
                       {"pay_status": states.EXPIRED, "fail_reason": "not paid before it expired"}, "expired")

    def settle_due(self) -> None:
        for order_id in self.store.due_settlements(time.time()):
            order = self.store.order(order_id)
            settled = Decimal(order["amount"]) - Decimal(order["recipient_share"])
            self._move(order_id, {"settle_status": states.NOT_SETTLED, "refund_status": states.NOT_REFUNDED},
                       {"settle_status": states.SETTLED, "settle_amount": money(settled)}, "settled")

    def _move(self, order_id: str, expected: dict, changes: dict, event: str) -> dict | None:
        """Applies a state change and sends its callback; None when the order
        was not in the expected state. One change at a time, so that each
        callback carries the state its own change left and an order's
        callbacks are queued in the order of its changes."""
        with self._moving:
            order = self.store.change_order(order_id, expected, changes)
            if order is None:
                return None
            order["expires_text"] = pages.when(order["expires"])
            account = self.store.account(order["community_key"])
            self.deliveries.send(order, account.sponsor_key, event)
            return order

    def _sweep(self) -> None:
        while not self._stopping.wait(self.sweep_interval):
            try:
                self.expire_due()
                self.settle_due()
            except Exception as error:  # keep sweeping; the next round retries
                self.log(f"sweep failed: {error!r}")


def _handler_for(sandbox: Sandbox) -> type[BaseHTTPRequestHandler]:
    class Handler(_Handler):
        service = sandbox
    return Handler


class _DeadlineStream(io.RawIOBase):
    """A connection's incoming bytes, each read given only the time left
    before the request's deadline, so that a client trickling its request
    cannot hold a worker longer than that."""

    def __init__(self, connection: socket.socket, deadline: float):
        self._connection, self._deadline = connection, deadline

    def readable(self) -> bool:
        return True

    def readinto(self, buffer) -> int:
        left = self._deadline - time.monotonic()
        if left <= 0:
            raise TimeoutError("the request did not arrive in time")
        self._connection.settimeout(left)
        return self._connection.recv_into(buffer)


class _Handler(BaseHTTPRequestHandler):
    service: Sandbox
    server_version = "TavoriSandbox/0.1"
    # Answers to a request line that names no version carry a status line and
    # headers too: nobody speaks HTTP/0.9 to the sandbox.
    default_request_version = "HTTP/1.0"

    def setup(self) -> None:
        super().setup()
        self.rfile.close()
        self.rfile = io.BufferedReader(_DeadlineStream(self.connection, time.monotonic() + REQUEST_DEADLINE))

    def log_request(self, code="-", size="-") -> None:
        # The path without its query: nothing secret is logged, nor noise.
        # A request whose line could not be read has neither method nor path.
        path = urlsplit(self.path).path if getattr(self, "path", None) else "-"
        self.service.log(f"{self.command or '-'} {path} {int(code) if str(code).isdigit() else code}")

    def log_message(self, format: str, *args) -> None:
        pass

    def _send(self, status: int, body: bytes, content_type: str, headers: dict | None = None) -> None:
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        for name, value in (headers or {}).items():
            self.send_header(name, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def _json(self, answer: dict) -> None:
        self._send(HTTPStatus.OK, json.dumps(answer).encode(), "application/json")

    def _plain(self, status: int, text: str) -> None:
        self._send(status, (text + "\n").encode(), "text/plain; charset=utf-8")

    def _redirect(self, location: str) -> None:
        # A header holds ASCII only: anything else in a shop's URL is sent
        # percent-encoded as UTF-8, as a browser would.
        self._send(HTTPStatus.SEE_OTHER, b"", "text/plain", {"Location": quote(location, safe=URL_SAFE)})

    def _body(self) -> bytes | None:
        """The request's body, or None after answering a request whose length
        is missing, malformed or too large."""
        length = self.headers.get("Content-Length")
        if length is None:
            self._plain(HTTPStatus.LENGTH_REQUIRED, "A POST needs a Content-Length")
            return None
        length = length.strip()
        if not (length.isascii() and length.isdigit()) or len(length) > 20:
            self._plain(HTTPStatus.BAD_REQUEST, "Content-Length must be a whole number of bytes")
            return None
        if int(length) > MAX_BODY:
            self._plain(HTTPStatus.REQUEST_ENTITY_TOO_LARGE, f"A body may hold at most {MAX_BODY} bytes")
            return None
        return self.rfile.read(int(length))

    def _form(self) -> dict[str, str] | None:
        """The request's form, or None after answering a malformed request."""
        if self.headers.get_content_type() != FORM_TYPE:
            self._plain(HTTPStatus.UNSUPPORTED_MEDIA_TYPE, f"Expected a {FORM_TYPE} body")
            return None
        body = self._body()
        if body is None:
            return None
        try:
            return dict(parse_qsl(body.decode("utf-8"), keep_blank_values=True, strict_parsing=True)) if body else {}
        except (ValueError, UnicodeDecodeError):
            self._plain(HTTPStatus.BAD_REQUEST, "The body is not a well-formed form")
            return None

    def _api(self, action: Callable[[], dict]) -> None:
        try:
            self._json({"data": action()})
        except Refusal as refusal:
            self._json({"detail": str(refusal)})

    def do_GET(self) -> None:
        target = urlsplit(self.path)
        path = target.path
        if path == STATUS_PATH:
            try:
                query = dict(parse_qsl(target.query, keep_blank_values=True, strict_parsing=True))
            except ValueError:
                return self._plain(HTTPStatus.BAD_REQUEST, "The query string is not well-formed")
            return self._api(lambda: self.service.order_status(query))
        if path == PAY_PATH or PAY_ACTION.fullmatch(path) or REFUND.fullmatch(path):
            return self._plain(HTTPStatus.METHOD_NOT_ALLOWED, f"{path} takes POST")
        if match := PAY_PAGE.fullmatch(path):
            self.service.expire_due()
            order = self.service.store.order(match.group(1))
            if order is None:
                return self._plain(HTTPStatus.NOT_FOUND, "No such order")
            account = self.service.store.account(order["community_key"])
            return self._send(HTTPStatus.OK, pages.pay_page(order, account.merchant), "text/html; charset=utf-8")
        if path == "/sandbox/orders":
            body = pages.orders_page(self.service.store.orders(), self.service.store.deliveries())
            return self._send(HTTPStatus.OK, body, "text/html; charset=utf-8")
        if path == "/sandbox/orders.json":
            orders = self.service.store.orders()
            for order in orders:
                order["deliveries"] = self.service.store.deliveries(order["order_id"])
            return self._send(HTTPStatus.OK, json.dumps(orders).encode(), "application/json")
        self._plain(HTTPStatus.NOT_FOUND, "Not found")

    def do_POST(self) -> None:
        path = urlsplit(self.path).path
        if path == PAY_PATH:
            form = self._form()
            if form is not None:
                self._api(lambda: self.service.create_order(form))
            return
        if path == STATUS_PATH:
            return self._plain(HTTPStatus.METHOD_NOT_ALLOWED, f"{path} takes GET")
        if match := PAY_ACTION.fullmatch(path):
            if self._body() is None:
                return
            order_id, action = match.groups()
            order = self.service.store.order(order_id)
            if order is None:
                return self._plain(HTTPStatus.NOT_FOUND, "No such order")
            moved = self.service.pay(order_id) if action == "pay" else self.service.decline(order_id)
            if moved is not None and order["return_url"]:
                return self._redirect(order["return_url"])
            return self._redirect(f"/pay/{order_id}")
        if match := REFUND.fullmatch(path):
            if self._body() is None:
                return
            if self.service.store.order(match.group(1)) is None:
                return self._plain(HTTPStatus.NOT_FOUND, "No such order")
            if self.service.refund(match.group(1)) is None:
                return self._plain(HTTPStatus.CONFLICT, "Only a paid order that was not refunded can be refunded")
            return self._redirect("/sandbox/orders")
        self._plain(HTTPStatus.NOT_FOUND, "Not found")

    def do_PUT(self) -> None:
        self._plain(HTTPStatus.METHOD_NOT_ALLOWED, "Method not allowed")

    do_DELETE = do_PATCH = do_PUT
