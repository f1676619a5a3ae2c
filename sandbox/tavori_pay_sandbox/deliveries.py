"""Signed callbacks to the application's notify URL, delivered in order per
order and retried with exponential backoff when delivery fails."""

from __future__ import annotations

import json
import threading
import urllib.error
import urllib.request
from collections import deque
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
    arrive in the order of its events even while one is being retried."""

    def __init__(self, store: Store, attempts: int, first_delay: float, log: Callable[[str], None]):
        self._store, self._attempts, self._first_delay, self._log = store, attempts, first_delay, log
        self._queues: dict[str, deque] = {}
        self._lock = threading.Lock()
        self._stopping = threading.Event()
        self._workers: list[threading.Thread] = []

    def send(self, order: dict, sponsor_key: str, status: str) -> None:
        body = callback_body(order, status)
        item = (order["notify_url"], body, sign(sponsor_key, body), status)
        with self._lock:
            queue = self._queues.get(order["order_id"])
            if queue is not None:
                queue.append(item)
                return
            self._queues[order["order_id"]] = deque([item])
            worker = threading.Thread(target=self._work, args=(order["order_id"],), daemon=True)
            self._workers = [thread for thread in self._workers if thread.is_alive()] + [worker]
        worker.start()

    def stop(self, timeout: float = 5.0) -> None:
        self._stopping.set()
        for worker in list(self._workers):
            worker.join(timeout)

    def _work(self, order_id: str) -> None:
        while True:
            with self._lock:
                queue = self._queues[order_id]
                if not queue:
                    del self._queues[order_id]
                    return
                url, body, signature, event = queue[0]
            self._deliver(order_id, url, body, signature, event)
            with self._lock:
                queue.popleft()

    def _deliver(self, order_id: str, url: str, body: str, signature: str, event: str) -> None:
        delay = self._first_delay
        for attempt in range(1, self._attempts + 1):
            outcome = self._post(url, body, signature)
            self._store.record_delivery(order_id, event, attempt, outcome)
            self._log(f"callback {event} for {order_id} to {url}: attempt {attempt}, {outcome}")
            if outcome.startswith("delivered"):
                return
            if attempt < self._attempts and self._stopping.wait(delay):
                return
            delay *= 2

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
