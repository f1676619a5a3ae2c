"""The sandbox service: its state, the actions of the service and of the
buyer, and the driver a test uses to run it: a clock it moves, faults on
demand, what was delivered, and waiting for it."""

from __future__ import annotations

import os
import re
import secrets
import sys
import threading
import time
from collections.abc import Callable, Iterable
from decimal import ROUND_HALF_UP, Decimal
from pathlib import Path
from typing import TYPE_CHECKING, Any, cast

from . import pages, states
from .clock import Clock
from .deliveries import Deliveries
from .faults import Faults
from .handler import handler_for
from .pooled_server import PooledHTTPServer
from .rules import Refusal, check_payment, check_status_query, sign
from .store import Account, Store, money

if TYPE_CHECKING:
    import tavori_pay

DELIVERY_CODE = re.compile(r"HTTP (\d{3})")


def no_proxy_with_loopback(no_proxy: str | None) -> str:
    """A NO_PROXY that keeps loopback off any proxy the environment names."""
    return ",".join(filter(None, [no_proxy, "127.0.0.1", "localhost"]))


def _answers_delivered_in_this_process(timeout: float) -> bool:
    """The Django app delivers a callback's events once its answer is sent;
    it is looked up, not imported, since only a project running here has it."""
    after_commit = sys.modules.get("tavori_pay_django.delivery.after_commit")
    return after_commit is None or bool(after_commit.wait_until_answers_delivered(timeout))


def _stderr(line: str) -> None:
    print(line, file=sys.stderr, flush=True)


class Sandbox:
    """The service with its state; start() (or `with`) serves it on threads.

    With no arguments it is a test's sandbox: in memory, on a free port of
    127.0.0.1, with one demo account (`community_key`, `sponsor_key`)."""

    def __init__(self, *, host: str = "127.0.0.1", port: int = 0, db: str = ":memory:",
                 accounts: Iterable[Account] = (), order_ttl: float = 900.0, settle_delay: float = 0.0,
                 royalty_percent: Decimal = Decimal("30"), callback_attempts: int = 5,
                 callback_first_delay: float = 1.0, sweep_interval: float = 0.2, workers: int = 8,
                 log: Callable[[str], None] = _stderr):
        self.store = Store(db)
        accounts = list(accounts)
        for account in accounts:
            self.store.add_account(account)
        # The account the driver's methods act for: the first one given, else
        # the store's first, else the demo account, made and kept.
        known = self.store.accounts()
        self.account = accounts[0] if accounts else known[0] if known else self.store.demo_account()
        self.order_ttl, self.settle_delay = order_ttl, settle_delay
        self.royalty_percent = royalty_percent
        self.sweep_interval = sweep_interval
        self.log = log
        self.clock = Clock()
        self.faults = Faults()
        self._deliveries = Deliveries(self.store, callback_attempts, callback_first_delay, log, self.clock,
                                     self.faults)
        try:
            self._server = PooledHTTPServer((host, port), handler_for(self), workers)
        except BaseException:
            self.store.close()
            raise
        self._stopping = threading.Event()
        self._moving = threading.RLock()
        self._threads: list[threading.Thread] = []
        # What TAVORI_PAY_BASE_URL was before client() pointed it here.
        self._pointed_client, self._base_url_before = False, cast(str | None, None)
        # Where a key file with the account's keys was written for the test (the pytest fixture's).
        self.working_space: Path | None = None

    @property
    def url(self) -> str:
        host, port = cast(tuple[str, int], self._server.server_address[:2])
        return f"http://{host}:{port}"

    @property
    def community_key(self) -> str:
        return self.account.community_key

    @property
    def sponsor_key(self) -> str:
        return self.account.sponsor_key

    def __repr__(self) -> str:
        return f"<Sandbox {self.url} account {self.community_key!r}>"

    def start(self) -> Sandbox:
        self._deliveries.resume()
        serve = lambda: self._server.serve_forever(poll_interval=0.05)  # noqa: E731
        for target in (serve, self._sweep):
            thread = threading.Thread(target=target, daemon=True)
            thread.start()
            self._threads.append(thread)
        return self

    def stop(self) -> None:
        self._stopping.set()
        self._server.shutdown()
        self._server.server_close()
        self._deliveries.stop()
        for thread in self._threads:
            thread.join(5)
        self.store.close()
        if self._pointed_client:
            if self._base_url_before is None:
                os.environ.pop("TAVORI_PAY_BASE_URL", None)
            else:
                os.environ["TAVORI_PAY_BASE_URL"] = self._base_url_before

    def __enter__(self) -> Sandbox:
        return self.start()

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    # The service's actions. Each state change is conditional on the state it
    # leaves, so concurrent requests cannot both move an order.

    def create_order(self, form: dict[str, str]) -> dict[str, str]:
        account, amount = check_payment(self.store, form, time.time())
        now = self.clock.now()
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

    def order_status(self, query: dict[str, str]) -> dict[str, Any]:
        account = check_status_query(self.store, query, time.time())
        # What is due has happened by the time of the question, whenever the sweep comes.
        self.expire_due()
        self.settle_due()
        order = self.store.order(query["order_id"])
        if order is None or order["community_key"] != account.community_key:
            raise Refusal(f"Unknown order: {query['order_id']}")
        return self._status_of(order)

    @staticmethod
    def _status_of(order: dict[str, Any]) -> dict[str, Any]:
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

    # The moves of an order, as the buyer and the service make them. Each
    # returns the order as it left it, or None when the order was not in a
    # state for it.

    def pay(self, order_id: str) -> dict[str, Any] | None:
        self.expire_due()
        return self._move(order_id, {"pay_status": states.AWAITING_PAYMENT},
                          {"pay_status": states.PAID, "settle_due": self.clock.now() + self.settle_delay}, "paid")

    def decline(self, order_id: str, reason: str = "declined by the payer") -> dict[str, Any] | None:
        self.expire_due()
        return self._move(order_id, {"pay_status": states.AWAITING_PAYMENT},
                          {"pay_status": states.DECLINED, "fail_reason": reason}, "failed")

    def expire(self, order_id: str) -> dict[str, Any] | None:
        """Expires an unpaid order now, whatever its expiry time."""
        return self._move(order_id, {"pay_status": states.AWAITING_PAYMENT},
                          {"pay_status": states.EXPIRED, "fail_reason": "not paid before it expired",
                           "expires": self.clock.now()}, "expired")

    def settle(self, order_id: str) -> dict[str, Any] | None:
        """Settles a paid order now, whatever its settlement delay."""
        with self._moving:
            order = self.store.order(order_id)
            if order is None:
                return None
            settled = Decimal(order["amount"]) - Decimal(order["recipient_share"])
            return self._move(order_id, {"pay_status": states.PAID, "settle_status": states.NOT_SETTLED,
                                         "refund_status": states.NOT_REFUNDED},
                              {"settle_status": states.SETTLED, "settle_amount": money(settled)}, "settled")

    def refund(self, order_id: str) -> dict[str, Any] | None:
        # Read and changed under the lock every move takes, so that the
        # settlement sweep cannot change the order in between.
        with self._moving:
            order = self.store.order(order_id)
            if order is None:
                return None
            changes: dict[str, Any] = {"refund_status": states.REFUNDED}
            if order["settle_status"] == states.SETTLED:
                changes["settle_status"] = states.REVERSED
            return self._move(order_id, {"pay_status": states.PAID, "refund_status": states.NOT_REFUNDED,
                                         "settle_status": order["settle_status"]}, changes, "refunded")

    def send_again(self, order_id: str, event: str) -> dict[str, Any] | None:
        """Sends an event's callback again, at once, as the order now stands
        (a service's "resend notification"), with the order's callbacks still
        waiting for a retry, which go first; None when the order has sent no
        callback for that event."""
        with self._moving:
            order = self.store.order(order_id)
            if order is None or all(sent["event"] != event for sent in self.store.deliveries(order_id)):
                return None
            return self._send_callback(order, event, at_once=True)

    def expire_due(self) -> None:
        for order_id in self.store.due_expiries(self.clock.now()):
            self._move(order_id, {"pay_status": states.AWAITING_PAYMENT},
                       {"pay_status": states.EXPIRED, "fail_reason": "not paid before it expired"}, "expired")

    def settle_due(self) -> None:
        for order_id in self.store.due_settlements(self.clock.now()):
            self.settle(order_id)

    def _move(self, order_id: str, expected: dict[str, Any], changes: dict[str, Any],
              event: str) -> dict[str, Any] | None:
        """Applies a state change and sends its callback; None when the order
        was not in the expected state. One change at a time, so that each
        callback carries the state its own change left and an order's
        callbacks are queued in the order of its changes."""
        with self._moving:
            order = self.store.change_order(order_id, expected, changes)
            if order is None:
                return None
            return self._send_callback(order, event)

    def _send_callback(self, order: dict[str, Any], event: str, at_once: bool = False) -> dict[str, Any]:
        order["expires_text"] = pages.when(order["expires"])
        account = self.store.account(order["community_key"])
        assert account is not None  # an order's account is never removed
        self._deliveries.send(order, account.sponsor_key, event, at_once)
        return order

    def _sweep(self) -> None:
        while not self._stopping.wait(self.sweep_interval):
            try:
                self.expire_due()
                self.settle_due()
            except Exception as error:  # keep sweeping; the next round retries
                self.log(f"sweep failed: {error!r}")

    # The driver: what a test reads, waits for, crafts and changes.

    def client(self) -> tavori_pay.Client:
        """A tavori_pay.Client for the account. The module takes its service
        address from TAVORI_PAY_BASE_URL, so this points it at the sandbox
        for the process; stop() puts back what was there."""
        import tavori_pay

        if not self._pointed_client:
            self._pointed_client, self._base_url_before = True, os.environ.get("TAVORI_PAY_BASE_URL")
        os.environ["TAVORI_PAY_BASE_URL"] = self.url
        return tavori_pay.Client(self.community_key, self.sponsor_key)

    def order(self, order_id: str) -> dict[str, Any]:
        """The order as query_order reports it."""
        self.expire_due()
        order = self.store.order(order_id)
        if order is None:
            raise KeyError(f"no order {order_id}")
        return self._status_of(order)

    def deliveries(self, order_id: str | None = None) -> list[dict[str, Any]]:
        """Every delivery attempt, oldest first: event, attempt, outcome, and
        `code`, the HTTP status the notify URL answered (None without one)."""
        attempts = self.store.deliveries(order_id)
        for attempt in attempts:
            found = DELIVERY_CODE.search(attempt["outcome"])
            attempt["code"] = int(found.group(1)) if found else None
        return attempts

    def wait_for_deliveries(self, order_id: str | None = None, *, count: int | None = None,
                            timeout: float = 10.0) -> list[dict[str, Any]]:
        """Waits until `count` attempts were made (for the order, or in all),
        or without a count until no callback is being delivered or due; a
        retry due later on the clock does not count until the clock gets
        there. When the project that took them runs in this process (a live
        server thread), also until the receivers it runs after answering
        have returned. Returns the attempts; TimeoutError after `timeout`
        seconds."""
        def done() -> bool:
            if count is not None:
                return len(self.store.deliveries(order_id)) >= count
            return self._deliveries.idle(order_id)

        deadline = time.monotonic() + timeout
        with self._deliveries.progress:
            if not self._deliveries.progress.wait_for(done, timeout):
                raise TimeoutError(f"deliveries still going after {timeout} s: {self.deliveries(order_id)}")
        if not _answers_delivered_in_this_process(max(0.0, deadline - time.monotonic())):
            raise TimeoutError(f"the project's receivers still running after {timeout} s")
        return self.deliveries(order_id)

    def write_key_file(self, directory: Path) -> None:
        """Writes auth_key.py with the account's keys into `directory`, for
        code that makes a plain `tavori_pay.Client()` there."""
        (directory / "auth_key.py").write_text(
            f'COMMUNITY_KEY = "{self.community_key}"\nSPONSOR_KEY = "{self.sponsor_key}"\n')

    def sign(self, body: str | bytes) -> str:
        """The signature the service would send with `body`."""
        return sign(self.sponsor_key, body.decode() if isinstance(body, bytes) else body)

    def advance(self, seconds: float) -> None:
        """Moves the sandbox's clock on: expiries and settlements now due
        happen before this returns; retries now due start."""
        self.clock.advance(seconds)
        self.expire_due()
        self.settle_due()

    def reset(self) -> None:
        """Forgets every order, delivery and fault and puts the clock back;
        the accounts stay."""
        self.faults.clear()
        self._deliveries.forget(self.store.forget_orders)
        self.clock.reset()

    # Faults on demand: for one order, or with order_id=None for all.

    def drop_deliveries(self, count: int = 1, order_id: str | None = None) -> None:
        """The next `count` callbacks are never sent."""
        self.faults.change(order_id, drop=count)

    def duplicate_deliveries(self, times: int = 2, order_id: str | None = None) -> None:
        """Each callback is sent `times` times."""
        self.faults.change(order_id, copies=times)

    def deliver_out_of_order(self, order_id: str | None = None) -> None:
        """An order's newest callback goes first (`settled` before `paid`)."""
        self.faults.change(order_id, out_of_order=True)

    def delay_deliveries(self, seconds: float, order_id: str | None = None) -> None:
        """Each callback's first attempt waits `seconds` on the clock."""
        self.faults.change(order_id, delay=seconds)

    def send_wrong_signatures(self, count: int = 1, order_id: str | None = None) -> None:
        """The next `count` attempts are signed with a wrong key."""
        self.faults.change(order_id, wrong_signature=count)

    def fail_next_answers(self, count: int = 1, kind: str = "503", seconds: float = 15.0) -> None:
        """The service's next `count` API answers go wrong: "500" or "503"
        (the request not handled), "not-json", "close" (the connection closed
        mid-answer), or "slow" (answered after `seconds`)."""
        self.faults.fail_answers(count, kind, seconds)

