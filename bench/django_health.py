"""The admin's "Payments health" figures at scale: PAYMENTS payments (100,000
unless given) spread over the last 100 days, with waiting events and refused
callbacks, on a throwaway PostgreSQL cluster. Prints the time of the
figures (best of 5), how many queries they take, and for each query whether
PostgreSQL's plan reads it through an index.

    .venv/bin/python bench/django_health.py            # 100,000 payments
    .venv/bin/python bench/django_health.py 10000
"""

from __future__ import annotations

import argparse
import datetime as dt
import hashlib
import os
import sys
import time
import uuid

import psycopg
from django_setup import HERE, ROOT, bench_database

DAYS = 100
STATUSES = ["paid", "settled", "settled", "pending", "failed", "expired", "refunded"]


def fill(cluster, count: int) -> None:
    """Payments, each with an event (every 50th's still waiting), and a
    refused callback for every 20th."""
    now = dt.datetime.now(dt.UTC)
    with psycopg.connect(cluster.url("bench")) as database, database.cursor() as cursor:
        with cursor.copy("COPY tavori_pay_payment (order_id, token, reference, order_key, amount, currency, "
                         "pay_mode, recipient_account, pay_url, status, failure_reason, needs_review, "
                         "created_at, updated_at) FROM STDIN") as copy:
            for number in range(count):
                created = now - dt.timedelta(days=DAYS * number / count)
                copy.write_row((f"T-health-{number:07d}", uuid.uuid4(), f"order-{number}", "", "128.00",
                                "CNY" if number % 3 else "USD", "split", "artist", "", STATUSES[number % 7], "",
                                number % 997 == 0, created, created))
        cursor.execute("INSERT INTO tavori_pay_paymentevent (payment_id, kind, previous, stage, reason, receivers, "
                       "delivered_to, attempts, last_error, created_at, delivered_at) SELECT id, 'status', 'pending', "
                       "status, '', 'receivers.fulfil', '', 1, '', created_at, "
                       "CASE WHEN id % 50 = 0 THEN NULL ELSE created_at END FROM tavori_pay_payment")
        with cursor.copy("COPY tavori_pay_callback (digest, body, signature, order_id, status, outcome, "
                         "deliveries, received_at) FROM STDIN") as copy:
            for number in range(0, count, 20):
                received = now - dt.timedelta(days=DAYS * number / count)
                copy.write_row((hashlib.sha256(str(number).encode()).hexdigest(), b"{}", "forged", "", "",
                                "bad_signature", 1, received))
        cursor.execute("ANALYZE")


def measure() -> None:
    import django
    from django.db import connection
    from django.test.utils import CaptureQueriesContext

    django.setup()
    from tavori_pay_django.health import health

    times = []
    for _ in range(5):
        started = time.perf_counter()
        with CaptureQueriesContext(connection) as queries:
            figures = health()
        times.append(time.perf_counter() - started)
    print(f"health figures: {min(times) * 1000:.1f} ms (best of 5), {len(queries)} queries; "
          f"{figures.waiting_events} waiting events, {sum(figures.refused.values())} refused callbacks")
    with connection.cursor() as cursor:
        for query in queries.captured_queries:
            cursor.execute("EXPLAIN " + query["sql"])
            plan = "\n".join(row[0] for row in cursor.fetchall())
            reads = "index" if "Index" in plan else "sequential scan"
            print(f"  {float(query['time']) * 1000:7.1f} ms  {reads:15}  {query['sql'][:90]}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("payments", nargs="?", type=int, default=100_000)
    count = parser.parse_args().payments
    with bench_database() as (cluster, env):
        started = time.perf_counter()
        fill(cluster, count)
        print(f"{count:,} payments written in {time.perf_counter() - started:.1f} s")
        os.environ.update(env)
        sys.path[:0] = [str(HERE / "django_project"), str(ROOT / "django_app")]
        measure()


if __name__ == "__main__":
    main()
