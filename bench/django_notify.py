"""Callbacks per second through the app's notify view, beside a minimal
hand-written view that does the same verify and row update, each served by
gunicorn with four worker processes on a throwaway PostgreSQL cluster.
Every callback pays a different pending payment, so each one is a real
transition. Runs alternate between the two views; the median is kept.

    .venv/bin/python bench/django_notify.py
"""

from __future__ import annotations

import json
import os
import statistics
import threading
import time
import urllib.request

from django_setup import SPONSOR, add_pending_payments, bench_database, gunicorn
from postgres_cluster import free_port
from tavori_pay_sandbox.rules import sign

RUNS = int(os.environ.get("BENCH_RUNS", "5"))
CALLBACKS = int(os.environ.get("BENCH_CALLBACKS", "1500"))
CLIENTS = 8
WORKERS = 4


def paid_callbacks(cluster, prefix: str, count: int) -> list[tuple[bytes, str]]:
    """Pending payments, and for each the signed `paid` callback the service would send."""
    order_ids = [f"T-{prefix}-{number:06d}" for number in range(count)]
    add_pending_payments(cluster, order_ids)
    callbacks = []
    for order_id in order_ids:
        body = json.dumps({"status": "paid", "order_id": order_id, "amount": "128.00", "settle_amount": "",
                           "reason": "", "expired": "2026-12-08 12:00:00"})
        callbacks.append((body.encode(), sign(SPONSOR, body)))
    return callbacks


def post_all(url: str, callbacks: list[tuple[bytes, str]]) -> float:
    """Posts every callback from CLIENTS threads; the callbacks per second."""
    queue = list(callbacks)
    lock = threading.Lock()
    failures: list[str] = []

    def client() -> None:
        while True:
            with lock:
                if not queue:
                    return
                body, signature = queue.pop()
            request = urllib.request.Request(url, body, method="POST", headers={
                "Content-Type": "application/json", "X-Tavori-Signature": signature})
            with urllib.request.urlopen(request, timeout=60) as answer:
                if answer.status != 200:
                    failures.append(str(answer.status))

    threads = [threading.Thread(target=client) for _ in range(CLIENTS)]
    started = time.perf_counter()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    elapsed = time.perf_counter() - started
    if failures:
        raise RuntimeError(f"{len(failures)} callbacks were not answered 200")
    return len(callbacks) / elapsed


def main() -> None:
    with bench_database() as (cluster, env):
        views = {"app": "/payments/notify/", "hand": "/hand/notify/"}
        batches = {(view, run): paid_callbacks(cluster, f"{view}{run}", CALLBACKS)
                   for view in views for run in range(RUNS + 1)}
        port = free_port()
        server = gunicorn(env, port, WORKERS)
        threading.Thread(target=server.stderr.read, daemon=True).start()
        try:
            rates: dict[str, list[float]] = {view: [] for view in views}
            for run in range(RUNS + 1):  # the first round warms both up and is not counted
                for view, path in views.items():
                    rate = post_all(f"http://127.0.0.1:{port}{path}", batches[view, run])
                    if run:
                        rates[view].append(rate)
        finally:
            server.terminate()
            server.wait(20)
    app, hand = statistics.median(rates["app"]), statistics.median(rates["hand"])
    print(f"notify view, {WORKERS} gunicorn workers on PostgreSQL, {CLIENTS} clients, "
          f"{CALLBACKS} callbacks per run, median of {RUNS} runs:")
    for view in views:
        print(f"  {view:5} {statistics.median(rates[view]):7.0f} callbacks/s   runs: "
              + " ".join(f"{rate:.0f}" for rate in rates[view]))
    print(f"  the app's overhead: {(hand / app - 1) * 100:.1f}% more time per callback than the hand view")


if __name__ == "__main__":
    main()
