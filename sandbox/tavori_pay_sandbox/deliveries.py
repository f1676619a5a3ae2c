"""Signed callbacks to the application's notify URL, delivered in order per
order and retried with exponential backoff when delivery fails."""

from __future__ import annotations

import json
import threading
import time
import urllib.error
import urllib.request
from typing import Callable

from .rules import sign
from .store import Store

SIGNATURE_HEADER = "X-Tavori-Signature"


def callback_body(order: dict, status: str) -> str:
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
    waiting callbacks live in the store, so that a restart resumes them."""

    def __init__(self, store: Store, attempts: int, first_delay: float, log: Callable[[str], None]):
        self._store, self._attempts, self._first_delay, self._log = store, attempts, first_delay, log
        self._busy: set[str] = set()
        self._lock = threading.Lock()
        self._stopping = threading.Event()
        self._workers: list[threading.Thread] = []

    def send(self, order: dict, sponsor_key: str, status: str) -> None:
        body = callback_body(order, status)
        self._store.add_pending(order["order_id"], status, order["notify_url"], body, sign(sponsor_key, body),
                                time.time())
        self._serve(order["order_id"])

    def resume(self) -> None:
        """Starts the deliveries a previous run left waiting."""
        for order_id in self._store.orders_with_pending():
            self._serve(order_id)

    def stop(self, timeout: float = 5.0) -> None:
        self._stopping.set()
        for worker in list(self._workers):
            worker.join(timeout)

    def _serve(self, order_id: str) -> None:
        with self._lock:
            if order_id in self._busy:
                return
            self._busy.add(order_id)
            worker = threading.Thread(target=self._work, args=(order_id,), daemon=True)
            self._workers = [thread for thread in self._workers if thread.is_alive()] + [worker]
        worker.start()

    def _work(self, order_id: str) -> None:
        while not self._stopping.is_set():
            with self._lock:
                pending = self._store.next_pending(order_id)
                if pending is None:
                    self._busy.discard(order_id)
                    return
            if self._stopping.wait(max(0.0, pending["due"] - time.time())):
                return
            self._attempt(pending)

    def _attempt(self, pending: dict) -> None:
        order_id, event, attempt = pending["order_id"], pending["event"], pending["attempts"] + 1
        outcome = self._post(pending["url"], pending["body"], pending["signature"])
        self._store.record_delivery(order_id, event, attempt, outcome)
        self._log(f"callback {event} for {order_id} to {pending['url']}: attempt {attempt}, {outcome}")
        if outcome.startswith("delivered") or attempt >= self._attempts:
            self._store.drop_pending(pending["id"])
        else:
            self._store.retry_pending(pending["id"], attempt,
                                      time.time() + self._first_delay * 2 ** (attempt - 1))

    @staticmethod
    def _post(url: str, body: str, signature: str) -> str:
        request = urllib.request.Request(url, body.encode(), method="POST", headers={
            "Content-Type": "application/json", SIGNATURE_HEADER: signature,
        })
        try:
            with urllib.request.urlopen(request, timeout=10) as response:
                return f"delivered (HTTP {response.status})"
        except urllib.error.HTTPError as error:
            return f"failed: HTTP {error.code}"
        except (urllib.error.URLError, OSError, ValueError) as error:
            return f"failed: {getattr(error, 'reason', error)}"
