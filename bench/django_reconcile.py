"""Reconciling stale payments against the sandbox: the wall time and the
peak memory of `manage.py tavori_pay_reconcile` with 8 workers and with 1,
on a throwaway PostgreSQL cluster, the sandbox in a process of its own.

    .venv/bin/python bench/django_reconcile.py            # 10,000 payments
    .venv/bin/python bench/django_reconcile.py 100000
"""

from __future__ import annotations

import argparse
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

# What the service knows of each order, in turn: most paid and settled.
FATES = [(states.PAID, states.SETTLED), (states.PAID, states.NOT_SETTLED), (states.PAID, states.SETTLED),
         (states.DECLINED, states.NOT_SETTLED), (states.AWAITING_PAYMENT, states.NOT_SETTLED)]


def sandbox_orders(path: str, count: int) -> list[str]:
    store = Store(path)
    store.add_account(Account(COMMUNITY, SPONSOR))
    order_ids = []
    now = time.time()
    for number in range(count):
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


def reconcile(env: dict[str, str], workers: int) -> tuple[float, float, str]:
    """The run's wall time in seconds, its peak resident memory in MiB (from
    wait4: that of the command alone), and what it printed."""
    with tempfile.TemporaryFile("w+") as output, tempfile.TemporaryFile("w+") as errors:
        started = time.perf_counter()
        run = subprocess.Popen([sys.executable, "-m", "django", "tavori_pay_reconcile", "--older-than", "60",
                                "--workers", str(workers)], env=env, stdout=output, stderr=errors)
        _, status, usage = os.wait4(run.pid, 0)
        elapsed = time.perf_counter() - started
        run.returncode = os.waitstatus_to_exitcode(status)  # reaped here, for its rusage
        output.seek(0)
        errors.seek(0)
        if run.returncode != 0:
            raise RuntimeError(errors.read()[-2000:])
        return elapsed, usage.ru_maxrss / 1024, output.read().strip()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("count", nargs="?", type=int, default=10_000, help="stale payments (10000)")
    count = parser.parse_args().count
    with bench_database() as (cluster, env), tempfile.TemporaryDirectory() as workspace:
        database = str(Path(workspace, "sandbox.sqlite3"))
        order_ids = sandbox_orders(database, count)
        sandbox = subprocess.Popen([sys.executable, "-m", "tavori_pay_sandbox", "--port", "0", "--db", database,
                                    "--account", f"{COMMUNITY}:{SPONSOR}", "--workers", "8"],
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                                   env={**os.environ, "PYTHONPATH": str(ROOT / "sandbox")})
        try:
            env["TAVORI_PAY_BASE_URL"] = re.search(r"listening on (\S+)", sandbox.stdout.readline()).group(1)
            print(f"reconciling {count} stale payments against the sandbox, PostgreSQL, {os.cpu_count()} cores:")
            for workers in (8, 1):
                with psycopg.connect(cluster.url("bench")) as connection:  # a fresh start for each run
                    connection.execute("TRUNCATE tavori_pay_paymentevent, tavori_pay_callback, tavori_pay_payment")
                add_pending_payments(cluster, order_ids, created="2026-01-01")
                elapsed, peak, output = reconcile(env, workers)
                print(f"  --workers {workers}: {elapsed:6.1f} s  ({count / elapsed:5.0f} payments/s, "
                      f"peak {peak:4.0f} MiB)  {output}")
        finally:
            sandbox.terminate()
            sandbox.wait(20)


if __name__ == "__main__":
    main()
