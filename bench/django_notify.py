"""Callbacks through the app's notify view beside a minimal hand-written
view that does the same verify and row update and calls the receiver, each
served by gunicorn with four worker processes on a throwaway PostgreSQL
cluster. The app runs twice: delivering its events in the worker right
after the answer, and through its task backend (django-tasks-db, with one
db_worker). Every callback pays a different pending payment, so each one is
a real transition. Runs alternate between the three; medians are kept.

For each: callbacks answered per second, the answer's p50 and p99 latency,
and end-to-end callbacks per second (answered and delivered to the receiver:
the hand view calls it before answering, the app records each delivery on
its event), then each app variant's end-to-end overhead against the hand view.

    .venv/bin/python bench/django_notify.py     (BENCH_RUNS, BENCH_CALLBACKS)
"""

from __future__ import annotations

import json
import os
import statistics
import subprocess
import sys
import threading
import time
import urllib.request
from dataclasses import dataclass

import psycopg
from django_setup import HERE, SPONSOR, add_pending_payments, bench_database, gunicorn
from postgres_cluster import free_port
from tavori_pay_sandbox.rules import sign

RUNS = int(os.environ.get("BENCH_RUNS", "5"))
CALLBACKS = int(os.environ.get("BENCH_CALLBACKS", "1500"))
CLIENTS = 8
WORKERS = 4
VARIANTS = {"hand view": "/hand/notify/", "app, after the answer": "/payments/notify/",
            "app, task backend": "/payments/notify/"}


@dataclass
class Run:
    answered: float  # callbacks answered per second
    latencies: list[float]  # seconds, one per callback
    end_to_end: float  # callbacks answered and delivered per second


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


def post_all(url: str, callbacks: list[tuple[bytes, str]]) -> tuple[float, list[float]]:
    """Posts every callback from CLIENTS threads; when they started, and each one's latency."""
    queue = list(callbacks)
    lock = threading.Lock()
    failures: list[str] = []
    latencies: list[float] = []

    def client() -> None:
        while True:
            with lock:
                if not queue:
                    return
                body, signature = queue.pop()
            request = urllib.request.Request(url, body, method="POST", headers={
                "Content-Type": "application/json", "X-Tavori-Signature": signature})
            sent = time.perf_counter()
            with urllib.request.urlopen(request, timeout=60) as answer:
                answer.read()
                took = time.perf_counter() - sent
                with lock:
                    latencies.append(took)
                    if answer.status != 200:
                        failures.append(str(answer.status))

    threads = [threading.Thread(target=client) for _ in range(CLIENTS)]
    started = time.perf_counter()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if failures:
        raise RuntimeError(f"{len(failures)} callbacks were not answered 200")
    return started, latencies


def delivered_by(cluster, prefix: str, count: int, started: float) -> float:
    """Seconds from `started` until every one of the batch's events was delivered."""
    with psycopg.connect(cluster.url("bench"), autocommit=True) as database:
        # The batch's payments were written together: one range of ids, cheap to count events over.
        low, high = database.execute("SELECT min(id), max(id) FROM tavori_pay_payment WHERE order_id LIKE %s",
                                     [f"T-{prefix}-%"]).fetchone()
        deadline = time.perf_counter() + 300
        while time.perf_counter() < deadline:
            done = database.execute("SELECT count(*) FROM tavori_pay_paymentevent WHERE payment_id BETWEEN %s AND %s "
                                    "AND delivered_at IS NOT NULL", [low, high]).fetchone()[0]
            if done >= count:
                return time.perf_counter() - started
            time.sleep(0.01)
    raise RuntimeError(f"the events of {prefix} were not all delivered in 300 s")


def measure(cluster, url: str, prefix: str, callbacks: list[tuple[bytes, str]], by_the_app: bool) -> Run:
    started, latencies = post_all(url, callbacks)
    answered = time.perf_counter() - started
    end_to_end = delivered_by(cluster, prefix, len(callbacks), started) if by_the_app else answered
    return Run(len(callbacks) / answered, latencies, len(callbacks) / end_to_end)


def percentile(values: list[float], share: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def main() -> None:
    with bench_database() as (cluster, env):
        prefixes = {(variant, run): f"{number}r{run}" for number, variant in enumerate(VARIANTS)
                    for run in range(RUNS + 1)}
        batches = {key: paid_callbacks(cluster, prefix, CALLBACKS) for key, prefix in prefixes.items()}
        ports = {"plain": free_port(), "tasks": free_port()}
        servers = [gunicorn(env, ports["plain"], WORKERS),
                   gunicorn({**env, "BENCH_TASK_BACKEND": "1"}, ports["tasks"], WORKERS)]
        worker = subprocess.Popen([sys.executable, "-m", "django", "db_worker", "--no-reload", "--no-startup-delay",
                                   "--interval", "0.05", "-v", "0"], env={**env, "BENCH_TASK_BACKEND": "1"},
                                  cwd=HERE / "django_project")
        for server in servers:
            threading.Thread(target=server.stderr.read, daemon=True).start()
        try:
            runs: dict[str, list[Run]] = {variant: [] for variant in VARIANTS}
            for run in range(RUNS + 1):  # the first round warms each up and is not counted
                for variant, path in VARIANTS.items():
                    port = ports["tasks" if "task" in variant else "plain"]
                    measured = measure(cluster, f"http://127.0.0.1:{port}{path}", prefixes[variant, run],
                                       batches[variant, run], by_the_app=variant != "hand view")
                    if run:
                        runs[variant].append(measured)
        finally:
            worker.terminate()
            for server in servers:
                server.terminate()
            for process in [worker, *servers]:
                process.wait(20)
    report(runs)


def report(runs: dict[str, list[Run]]) -> None:
    figures = {variant: {"answered": statistics.median(run.answered for run in measured),
                         "p50": statistics.median(percentile(run.latencies, 0.50) for run in measured) * 1000,
                         "p99": statistics.median(percentile(run.latencies, 0.99) for run in measured) * 1000,
                         "end_to_end": statistics.median(run.end_to_end for run in measured)}
               for variant, measured in runs.items()}
    print(f"notify view, {WORKERS} gunicorn workers on PostgreSQL, {CLIENTS} clients, {CALLBACKS} callbacks per "
          f"run, median of {RUNS} runs:")
    print(f"  {'':24}{'answered/s':>11}{'p50 ms':>9}{'p99 ms':>9}{'end-to-end/s':>14}   end-to-end runs")
    for variant, figure in figures.items():
        print(f"  {variant:24}{figure['answered']:11.0f}{figure['p50']:9.1f}{figure['p99']:9.1f}"
              f"{figure['end_to_end']:14.0f}   " + " ".join(f"{run.end_to_end:.0f}" for run in runs[variant]))
    hand = figures["hand view"]
    for variant, figure in figures.items():
        if variant != "hand view":
            print(f"  {variant}: end-to-end {(hand['end_to_end'] / figure['end_to_end'] - 1) * 100:.1f}% more time "
                  f"per callback than the hand view; answer p50 {figure['p50'] / hand['p50']:.2f}× the hand view's")


if __name__ == "__main__":
    main()
