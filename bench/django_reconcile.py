"""Reconciling stale payments against the sandbox: the wall time and the
peak memory of `manage.py tavori_pay_reconcile` in two processes and in
one, on a throwaway PostgreSQL cluster, the sandbox in a process of its
own; and what one status query costs with 100 orders in the sandbox and
with all of them, over HTTP and in the sandbox's store alone.

    .venv/bin/python bench/django_reconcile.py            # 10,000 payments
    .venv/bin/python bench/django_reconcile.py 100000
"""

from __future__ import annotations

import argparse
import os
import random
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import psycopg
import tavori_pay
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


# The command's options for each run.
CONFIGURATIONS = [["--processes", "2", "--workers", "2"], ["--workers", "4"]]
# Status queries timed for each size of the sandbox's store.
TIMED_QUERIES = 1000


def reconcile(env: dict[str, str], options: list[str]) -> tuple[float, float, str]:
    """The run's wall time in seconds, its peak resident memory in MiB (from
    wait4: that of the command's largest process), and what it printed."""
    with tempfile.TemporaryFile("w+") as output, tempfile.TemporaryFile("w+") as errors:
        started = time.perf_counter()
        run = subprocess.Popen([sys.executable, "-m", "django", "tavori_pay_reconcile", "--older-than", "60",
                                *options], env=env, stdout=output, stderr=errors)
        _, status, usage = os.wait4(run.pid, 0)
        elapsed = time.perf_counter() - started
        run.returncode = os.waitstatus_to_exitcode(status)  # reaped here, for its rusage
        output.seek(0)
        errors.seek(0)
        if run.returncode != 0:
            raise RuntimeError(errors.read()[-2000:])
        return elapsed, usage.ru_maxrss / 1024, output.read().strip()


def serve(database: str) -> tuple[subprocess.Popen, str]:
    """The sandbox in a process of its own on `database`, and its address."""
    sandbox = subprocess.Popen([sys.executable, "-m", "tavori_pay_sandbox", "--port", "0", "--db", database,
                                "--account", f"{COMMUNITY}:{SPONSOR}", "--workers", "8"],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                               env={**os.environ, "PYTHONPATH": str(ROOT / "sandbox")})
    return sandbox, re.search(r"listening on (\S+)", sandbox.stdout.readline()).group(1)


def query_costs(workspace: str, order_ids: list[str]) -> tuple[float, float]:
    """Microseconds of wall time per status query against a sandbox holding
    100 of the orders and against one holding them all, each the best of 5
    rounds taken in turn, so that the machine's drift falls on both."""
    small = str(Path(workspace, "sandbox-small.sqlite3"))
    sandbox_orders(small, 100)
    served = [serve(small), serve(str(Path(workspace, f"sandbox-{len(order_ids)}.sqlite3")))]
    rounds: list[list[float]] = [[], []]
    try:
        for round_number in range(5):
            for which, (_, url) in enumerate(served):
                os.environ["TAVORI_PAY_BASE_URL"] = url
                client = tavori_pay.Client(COMMUNITY, SPONSOR)
                asked = random.Random(round_number).choices(order_ids[:100] if which == 0 else order_ids,
                                                            k=TIMED_QUERIES)
                started = time.perf_counter()
                for order_id in asked:
                    client.query_order(order_id)
                rounds[which].append((time.perf_counter() - started) / TIMED_QUERIES * 1e6)
    finally:
        for sandbox, _ in served:
            sandbox.terminate()
            sandbox.wait(20)
    return min(rounds[0]), min(rounds[1])


def store_costs(workspace: str, order_ids: list[str]) -> tuple[float, float]:
    """Microseconds per status query of the sandbox's own store work (the
    nonce, the expiry and settlement sweeps, the order read), without HTTP,
    in the same two sandboxes' databases: best of 5 rounds taken in turn."""
    stores = [Store(str(Path(workspace, "sandbox-small.sqlite3"))),
              Store(str(Path(workspace, f"sandbox-{len(order_ids)}.sqlite3")))]
    rounds: list[list[float]] = [[], []]
    for round_number in range(5):
        for which, store in enumerate(stores):
            asked = random.Random(round_number).choices(order_ids[:100] if which == 0 else order_ids,
                                                        k=TIMED_QUERIES * 10)
            started = time.perf_counter()
            for number, order_id in enumerate(asked):
                now = time.time()
                store.remember_nonce(COMMUNITY, f"timed-{round_number}-{number}", now)
                store.due_expiries(now)
                store.due_settlements(now)
                store.order(order_id)
            rounds[which].append((time.perf_counter() - started) / len(asked) * 1e6)
    for store in stores:
        store.close()
    return min(rounds[0]), min(rounds[1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("count", nargs="?", type=int, default=10_000, help="stale payments (10000)")
    count = parser.parse_args().count
    with bench_database() as (cluster, env), tempfile.TemporaryDirectory() as workspace:
        database = str(Path(workspace, f"sandbox-{count}.sqlite3"))
        order_ids = sandbox_orders(database, count)
        small, large = query_costs(workspace, order_ids)
        print(f"one status query: {small:.0f} µs with 100 orders in the sandbox, {large:.0f} µs with {count}")
        small, large = store_costs(workspace, order_ids)
        print(f"  of which the store's work: {small:.0f} µs with 100 orders, {large:.0f} µs with {count}")
        sandbox, env["TAVORI_PAY_BASE_URL"] = serve(database)
        try:
            print(f"reconciling {count} stale payments against the sandbox, PostgreSQL, {os.cpu_count()} cores:")
            for options in CONFIGURATIONS:
                with psycopg.connect(cluster.url("bench")) as connection:  # a fresh start for each run
                    connection.execute("TRUNCATE tavori_pay_paymentevent, tavori_pay_callback, tavori_pay_payment")
                add_pending_payments(cluster, order_ids, created="2026-01-01")
                elapsed, peak, output = reconcile(env, options)
                print(f"  {' '.join(options):25} {elapsed:6.1f} s  ({count / elapsed:5.0f} payments/s, "
                      f"peak {peak:4.0f} MiB)  {output}")
        finally:
            sandbox.terminate()
            sandbox.wait(20)


if __name__ == "__main__":
    main()
