"""The sandbox's HTTP face: the two API endpoints the client calls, the pay
page, the orders pages and refunds, with the checks every request passes
before it reaches the service."""

from __future__ import annotations

import io
import json
import re
import socket
import time
from collections.abc import Callable
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler
from typing import TYPE_CHECKING, Any
from urllib.parse import parse_qsl, quote, urlsplit

from . import pages
from .rules import Refusal

if TYPE_CHECKING:
    from .server import Sandbox

PAY_PATH = "/alipayment/sponsor/pay/"
STATUS_PATH = "/alipayment/sponsor/order-status/"
PAY_PAGE = re.compile(r"/pay/([A-Za-z0-9-]+)")
PAY_ACTION = re.compile(r"/pay/([A-Za-z0-9-]+)/(pay|decline)")
ORDER_ACTION = re.compile(r"/sandbox/orders/([A-Za-z0-9-]+)/(pay|decline|settle|refund|expire|send-again)")
# Why an action on the orders page (or from `tavori-sandbox trigger`) did nothing.
NOT_NOW = {
    "pay": "Only an order waiting for payment can be paid",
    "decline": "Only an order waiting for payment can be declined",
    "expire": "Only an order waiting for payment can expire",
    "settle": "Only a paid order that is not settled or refunded can be settled",
    "refund": "Only a paid order that was not refunded can be refunded",
    "send-again": "The order has sent no callback for that event",
}
FORM_TYPE = "application/x-www-form-urlencoded"
MAX_BODY = 64 * 1024
# Seconds a client has to send a whole request, head and body, once it has
# started: a slow or stalled client gives its worker back after that.
REQUEST_DEADLINE = 10.0
# What stays as it is when a URL is percent-encoded for a header.
URL_SAFE = "/:?#[]@!$&'()*+,;=%~"


def handler_for(sandbox: Sandbox) -> type[BaseHTTPRequestHandler]:
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

    def readinto(self, buffer: Any) -> int:
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

    def log_request(self, code: int | str = "-", size: int | str = "-") -> None:
        # The path without its query: nothing secret is logged, nor noise.
        # A request whose line could not be read has neither method nor path.
        path = urlsplit(self.path).path if getattr(self, "path", None) else "-"
        self.service.log(f"{self.command or '-'} {path} {int(code) if str(code).isdigit() else code}")

    def log_message(self, format: str, *args: Any) -> None:
        pass

    def _send(self, status: int, body: bytes, content_type: str, headers: dict[str, Any] | None = None) -> None:
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        for name, value in (headers or {}).items():
            self.send_header(name, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def _json(self, answer: dict[str, Any]) -> None:
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

    def _api(self, action: Callable[[], dict[str, Any]]) -> None:
        fault = self.service.faults.next_answer()
        if fault is not None and self._fail(*fault):
            return
        try:
            self._json({"data": action()})
        except Refusal as refusal:
            self._json({"detail": str(refusal)})

    def _fail(self, kind: str, seconds: float) -> bool:
        """Answers as the fault a test asked for; False when the request is
        still to be answered (late)."""
        if kind in ("500", "503"):
            self._plain(int(kind), "Fault on demand: the service failed")
        elif kind == "not-json":
            self._send(HTTPStatus.OK, b"<html><body>Bad gateway</body></html>", "text/html")
        elif kind == "close":
            self.send_response(HTTPStatus.OK)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", "100")
            self.end_headers()
            self.wfile.write(b'{"data": {"order_')
            self.close_connection = True
            self.connection.shutdown(socket.SHUT_RDWR)
        else:
            time.sleep(seconds)  # slower than the client waits
            return False
        return True

    def do_GET(self) -> None:
        target = urlsplit(self.path)
        path = target.path
        if path == STATUS_PATH:
            try:
                query = dict(parse_qsl(target.query, keep_blank_values=True, strict_parsing=True))
            except ValueError:
                return self._plain(HTTPStatus.BAD_REQUEST, "The query string is not well-formed")
            return self._api(lambda: self.service.order_status(query))
        if path == PAY_PATH or PAY_ACTION.fullmatch(path) or ORDER_ACTION.fullmatch(path):
            return self._plain(HTTPStatus.METHOD_NOT_ALLOWED, f"{path} takes POST")
        if match := PAY_PAGE.fullmatch(path):
            self.service.expire_due()
            order = self.service.store.order(match.group(1))
            if order is None:
                return self._plain(HTTPStatus.NOT_FOUND, "No such order")
            account = self.service.store.account(order["community_key"])
            assert account is not None  # an order's account is never removed
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
        if match := ORDER_ACTION.fullmatch(path):
            return self._act(*match.groups())
        self._plain(HTTPStatus.NOT_FOUND, "Not found")

    def _act(self, order_id: str, action: str) -> None:
        """An action of the orders page: the order moved, or its callback
        sent again; then back to the page."""
        form = self._form() if action == "send-again" else ({} if self._body() is not None else None)
        if form is None:
            return
        if self.service.store.order(order_id) is None:
            return self._plain(HTTPStatus.NOT_FOUND, "No such order")
        service = self.service
        moves: dict[str, Callable[[str], object]] = {
            "pay": service.pay, "decline": service.decline, "settle": service.settle, "refund": service.refund,
            "expire": service.expire,
            "send-again": lambda order_id: service.send_again(order_id, form.get("event", "")),
        }
        if moves[action](order_id) is None:
            return self._plain(HTTPStatus.CONFLICT, NOT_NOW[action])
        self._redirect("/sandbox/orders")

    def do_PUT(self) -> None:
        self._plain(HTTPStatus.METHOD_NOT_ALLOWED, "Method not allowed")

    do_DELETE = do_PATCH = do_PUT
