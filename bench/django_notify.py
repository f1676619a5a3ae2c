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
import subprocess
import sys
import threading
import time
import urllib.request
import uuid
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(ROOT / "django_app" / "tests"))
sys.path.insert(0, str(ROOT / "sandbox"))

import psycopg  # noqa: E402
import postgres_cluster  # noqa: E402
from tavori_pay_sandbox.rules import sign  # noqa: E402

COMMUNITY, SPONSOR = "bench-community", "bench-sponsor-secret"
RUNS = int(os.environ.get("BENCH_RUNS", "5"))
CALLBACKS = int(os.environ.get("BENCH_CALLBACKS", "1500"))
CLIENTS = 8
WORKERS = 4


def environment(cluster) -> dict[str, str]:
    return {**os.environ, "DJANGO_SETTINGS_MODULE": "settings",
            "PYTHONPATH": os.pathsep.join([str(HERE / "django_project"), str(ROOT / "django_app")]),
            "BENCH_DB_NAME": "bench", "BENCH_DB_PORT": str(cluster.port),
            "BENCH_COMMUNITY_KEY": COMMUNITY, "BENCH_SPONSOR_KEY": SPONSOR}


def add_payments(cluster, prefix: str, count: int) -> list[tuple[bytes, str]]:
    """Pending payments, and for each the signed `paid` callback the service would send."""
    rows, callbacks = [], []
    for number in range(count):
        order_id = f"T-{prefix}-{number:06d}"
        rows.append((order_id, uuid.uuid4(), f"ref-{prefix}-{number}", "128.00", "CNY", "split", "artist", "",
                     "pending", "", False))
        body = json.dumps({"status": "paid", "order_id": order_id, "amount": "128.00", "settle_amount": "",
                           "reason": "", "expired": "2026-12-08 12:00:00"})
        callbacks.append((body.encode(), sign(SPONSOR, body)))
    with psycopg.connect(cluster.url("bench")) as database, database.cursor() as cursor:
        with cursor.copy("COPY tavori_pay_payment (order_id, token, reference, amount, currency, pay_mode, "
                         "recipient_account, pay_url, status, failure_reason, needs_review, created_at, "
                         "updated_at) FROM STDIN") as copy:
            for row in rows:
                copy.write_row((*row, "now", "now"))
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
    for proxy in ("http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"):
        os.environ.pop(proxy, None)
    binaries = postgres_cluster.server_binaries()
    if binaries is None:
        sys.exit(postgres_cluster.INSTALL_HINT)
    cluster = postgres_cluster.Cluster(binaries).start()
    server = None
    try:
        cluster.create_database("bench")
        env = environment(cluster)
        subprocess.run([sys.executable, "-m", "django", "migrate", "-v0"], env=env, check=True)
        views = {"app": "/payments/notify/", "hand": "/hand/notify/"}
        batches = {(view, run): add_payments(cluster, f"{view}{run}", CALLBACKS)
                   for view in views for run in range(RUNS + 1)}
        port = postgres_cluster.free_port()
        server = subprocess.Popen([sys.executable, "-m", "gunicorn", "--workers", str(WORKERS), "--bind",
                                   f"127.0.0.1:{port}", "wsgi"], env=env, cwd=HERE / "django_project",
                                  stderr=subprocess.PIPE, text=True)
        booted = 0
        for line in server.stderr:
            booted += "Booting worker" in line
            if booted == WORKERS:
                break
        threading.Thread(target=server.stderr.read, daemon=True).start()
        rates: dict[str, list[float]] = {view: [] for view in views}
        for run in range(RUNS + 1):  # the first round warms both up and is not counted
            for view, path in views.items():
                rate = post_all(f"http://127.0.0.1:{port}{path}", batches[view, run])
                if run:
                    rates[view].append(rate)
        app, hand = statistics.median(rates["app"]), statistics.median(rates["hand"])
        print(f"notify view, {WORKERS} gunicorn workers on PostgreSQL, {CLIENTS} clients, "
              f"{CALLBACKS} callbacks per run, median of {RUNS} runs:")
        for view in views:
            print(f"  {view:5} {statistics.median(rates[view]):7.0f} callbacks/s   runs: "
                  + " ".join(f"{rate:.0f}" for rate in rates[view]))
        print(f"  the app's overhead: {(hand / app - 1) * 100:.1f}% more time per callback than the hand view")
    finally:
        if server is not None:
            server.terminate()
            server.wait(20)
        cluster.remove()


if __name__ == "__main__":
    main()
