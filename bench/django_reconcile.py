"""Reconciling 10,000 stale payments against the sandbox: the wall time of
`manage.py tavori_pay_reconcile` with 8 workers and with 1, on a throwaway
PostgreSQL cluster, the sandbox in a process of its own.

    .venv/bin/python bench/django_reconcile.py
"""

from __future__ import annotations

import os
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import psycopg
from django_setup import COMMUNITY, ROOT, SPONSOR, add_pending_payments, bench_database
from tavori_pay_sandbox import states
from tavori_pay_sandbox.store import Account, Store

PAYMENTS = int(os.environ.get("BENCH_PAYMENTS", "10000"))
# What the service knows of each order, in turn: most paid and settled.
FATES = [(states.PAID, states.SETTLED), (states.PAID, states.NOT_SETTLED), (states.PAID, states.SETTLED),
         (states.DECLINED, states.NOT_SETTLED), (states.AWAITING_PAYMENT, states.NOT_SETTLED)]


def sandbox_orders(path: str) -> list[str]:
    store = Store(path)
    store.add_account(Account(COMMUNITY, SPONSOR))
    order_ids = []
    now = time.time()
    for number in range(PAYMENTS):
        pay, settle = FATES[number % len(FATES)]
        order_id = f"T-bench-{number:06d}"
        store.add_order({
            "order_id": order_id, "community_key": COMMUNITY, "amount": "128.00", "currency": "CNY",
            "recipient_account": "artist", "recipient_share": "38.40", "pay_mode": "split",
            "notify_url": "http://127.0.0.1:9/", "return_url": "", "created": now, "expires": now + 10**6,
            "pay_status": pay, "settle_status": settle, "refund_status": states.NOT_REFUNDED,
            "settle_amount": "89.60" if settle == states.SETTLED else "", "settle_due": None,
            "fail_reason": "declined by the payer" if pay == states.DECLINED else ""})
        order_ids.append(order_id)
    store.close()
    return order_ids


def main() -> None:
    with bench_database() as (cluster, env), tempfile.TemporaryDirectory() as workspace:
        database = str(Path(workspace, "sandbox.sqlite3"))
        order_ids = sandbox_orders(database)
        sandbox = subprocess.Popen([sys.executable, "-m", "tavori_pay_sandbox", "--port", "0", "--db", database,
                                    "--account", f"{COMMUNITY}:{SPONSOR}", "--workers", "8"],
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                                   env={**os.environ, "PYTHONPATH": str(ROOT / "sandbox")})
        try:
            env["TAVORI_PAY_BASE_URL"] = re.search(r"listening on (\S+)", sandbox.stdout.readline()).group(1)
            print(f"reconciling {PAYMENTS} stale payments against the sandbox, PostgreSQL, "
                  f"{os.cpu_count()} cores:")
            for workers in (8, 1):
                with psycopg.connect(cluster.url("bench")) as connection:
                    connection.execute("DELETE FROM tavori_pay_payment")
                add_pending_payments(cluster, order_ids, created="2026-01-01")
                started = time.perf_counter()
                done = subprocess.run([sys.executable, "-m", "django", "tavori_pay_reconcile", "--older-than",
                                       "60", "--workers", str(workers)], env=env, capture_output=True, text=True)
                elapsed = time.perf_counter() - started
                if done.returncode != 0:
                    raise RuntimeError(done.stderr[-2000:])
                print(f"  --workers {workers}: {elapsed:6.1f} s  ({PAYMENTS / elapsed:5.0f} payments/s)  "
                      f"{done.stdout.strip()}")
        finally:
            sandbox.terminate()
            sandbox.wait(20)


if __name__ == "__main__":
    main()
