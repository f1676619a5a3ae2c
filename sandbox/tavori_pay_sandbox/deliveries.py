"""Signed callbacks to the application's notify URL, delivered in order per
order and retried with exponential backoff when delivery fails."""

from __future__ import annotations

import json
import threading
import time
import urllib.error
import urllib.request
from collections.abc import Callable
from typing import Any

from .clock import Clock
from .faults import Faults
from .rules import sign
from .store import Store

SIGNATURE_HEADER = "X-Tavori-Signature"
# Seconds on the sandbox's clock an out-of-order callback waits for the next
# one of its order to overtake it.
OVERTAKING_TIME = 1.0


class _NoRedirects(urllib.request.HTTPRedirectHandler):
    """A notify URL that redirects did not take the callback in: the
    service does not follow it, so the redirect is a failed attempt."""

    def redirect_request(self, *args: object, **kwargs: object) -> None:
        return None


OPENER = urllib.request.build_opener(_NoRedirects)


def callback_body(order: dict[str, Any], status: str) -> str:
    return json.dumps({
        "status": status,
        "order_id": order["order_id"],
        "amount": order["amount"],
        "settle_amount": order["settle_amount"],
        "reason": order["fail_reason"],
        "expired": order["expires_text"],
    })


class Deliveries:
    """One worker per order with callbacks waiting, so an order's callbacks
    arrive in the order of its events even while one is being retried. The
    waiting callbacks live in the store, so that a restart resumes them.
    Due times are on the sandbox's clock; the faults a test asked for are
    consulted at each attempt."""

    def __init__(self, store: Store, attempts: int, first_delay: float, log: Callable[[str], None],
                 clock: Clock, faults: Faults):
        self._store, self._attempts, self._first_delay, self._log = store, attempts, first_delay, log
        self._clock, self._faults = clock, faults
        self._busy: set[str] = set()
        self._attempting: set[str] = set()
        self._lock = threading.RLock()
        # Notified after every attempt and whenever an order has nothing left.
        self.progress = threading.Condition(self._lock)
        self._stopping = threading.Event()
        self._workers: list[threading.Thread] = []
        # Counts the resets: an attempt records nothing once a reset has come since it began.
        self._generation = 0

    def send(self, order: dict[str, Any], sponsor_key: str, status: str, at_once: bool = False) -> None:
        """Queues the order's callback. `at_once`: the order's callbacks
        waiting for a retry are due now too, since they go first."""
        body = callback_body(order, status)
        faults = self._faults.of(order["order_id"])
        # Held back a moment when out of order, so that the next one can overtake it.
        delay = max(faults.delay, OVERTAKING_TIME if faults.out_of_order else 0.0)
        if at_once:
            self._store.bring_forward(order["order_id"], self._clock.now() + delay)
        self._store.add_pending(order["order_id"], status, order["notify_url"], body, sign(sponsor_key, body),
                                self._clock.now() + delay)
        self._serve(order["order_id"])

    def resume(self) -> None:
        """Starts the deliveries a previous run left waiting."""
        for order_id in self._store.orders_with_pending():
            self._serve(order_id)

    def idle(self, order_id: str | None = None) -> bool:
        """No callback is being delivered or due now (one waiting for a
        later retry does not count)."""
        with self._lock:
            busy = self._busy if order_id is None else self._busy & {order_id}
            return not any(self._store.has_due_pending(order, self._clock.now()) or order in self._attempting
                           for order in busy)

    def stop(self, timeout: float = 1.0) -> None:
        """Stops delivering. An attempt still waiting for its answer is left
        to end on its own, recording nothing: its callback stays in the
        store, for a restart on the same database to resume."""
        with self._lock:  # once taken, no worker writes to the store again
            self._stopping.set()
        self._clock.wake()
        deadline = time.monotonic() + timeout
        for worker in list(self._workers):
            worker.join(max(0.0, deadline - time.monotonic()))

    def forget(self, forget_orders: Callable[[], None]) -> None:
        """Runs `forget_orders` so that no attempt under way records what it
        finds out afterwards: every attempt belongs to the orders of its time."""
        with self._lock:
            self._generation += 1
            forget_orders()

    def _serve(self, order_id: str) -> None:
        with self._lock:
            if order_id in self._busy:
                self._clock.wake()  # a waiting worker looks again: the new one may overtake
                return
            self._busy.add(order_id)
            worker = threading.Thread(target=self._work, args=(order_id,), daemon=True)
            self._workers = [thread for thread in self._workers if thread.is_alive()] + [worker]
        worker.start()

    def _work(self, order_id: str) -> None:
        while not self._stopping.is_set():
            newest = self._faults.of(order_id).out_of_order
            with self._lock:
                pending = self._store.next_pending(order_id, newest=newest)
                if pending is None:
                    self._busy.discard(order_id)
                    self.progress.notify_all()
                    return
                if pending["due"] > self._clock.now():
                    due = pending["due"]
                else:
                    due = None
                    self._attempting.add(order_id)
                generation = self._generation
            if due is not None:
                self._clock.wait(due, self._stopping)
                continue
            try:
                self._attempt(pending, generation)
            finally:
                with self._lock:
                    self._attempting.discard(order_id)
                    self.progress.notify_all()

    def _attempt(self, pending: dict[str, Any], generation: int) -> None:
        order_id, event, attempt = pending["order_id"], pending["event"], pending["attempts"] + 1
        if self._faults.take(order_id, "drop"):
            with self._lock:
                if not self._stopping.is_set() and generation == self._generation:
                    self._store.record_delivery(order_id, event, attempt, "dropped (fault)", self._clock.now())
                    self._store.drop_pending(pending["id"])
            return
        signature = pending["signature"]
        if self._faults.take(order_id, "wrong_signature"):
            signature = sign("not-the-sponsor-key", pending["body"])
        copies = max(1, self._faults.of(order_id).copies)
        for copy in range(1, copies + 1):
            outcome = self._post(pending["url"], pending["body"], signature)
            with self._lock:
                if self._stopping.is_set() or generation != self._generation:
                    return  # stopped, or reset while the answer was awaited
                now = self._clock.now()
                self._store.record_delivery(order_id, event, attempt, outcome, now)
                # The last attempt's retry time is set with it, from the same
                # moment: a test that sees the attempt and then moves the
                # clock on must find the retry already counting.
                if copy == copies and (outcome.startswith("delivered") or attempt >= self._attempts):
                    self._store.drop_pending(pending["id"])
                elif copy == copies:
                    self._store.retry_pending(pending["id"], attempt, now + self._first_delay * 2 ** (attempt - 1))
            self._log(f"callback {event} for {order_id} to {pending['url']}: attempt {attempt}, {outcome}")

    @staticmethod
    def _post(url: str, body: str, signature: str) -> str:
        try:  # a notify URL urllib cannot take (no scheme) is a failed attempt too
            request = urllib.request.Request(url, body.encode(), method="POST", headers={
                "Content-Type": "application/json", SIGNATURE_HEADER: signature,
            })
            with OPENER.open(request, timeout=10) as response:
                return f"delivered (HTTP {response.status})"
        except urllib.error.HTTPError as error:
            location = error.headers.get("Location") if 300 <= error.code < 400 else None
            return f"failed: HTTP {error.code}" + (f" to {location}" if location else "")
        except (urllib.error.URLError, OSError, ValueError) as error:
            return f"failed: {getattr(error, 'reason', error)}"
