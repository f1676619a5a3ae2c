"""What the Django benchmarks share: a throwaway PostgreSQL cluster with the
bench project migrated into it, and a fast way to fill it with payments."""

from __future__ import annotations

import contextlib
import os
import subprocess
import sys
import uuid
from collections.abc import Iterable, Iterator
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(ROOT / "django_app" / "tests"))
sys.path.insert(0, str(ROOT / "sandbox"))

import psycopg  # noqa: E402
import postgres_cluster  # noqa: E402
from shop_server import start_server  # noqa: E402

COMMUNITY, SPONSOR = "bench-community", "bench-sponsor-secret"


@contextlib.contextmanager
def bench_database() -> Iterator[tuple[postgres_cluster.Cluster, dict[str, str]]]:
    """The cluster, and the environment that points the bench project at it."""
    for proxy in ("http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"):
        os.environ.pop(proxy, None)
    binaries = postgres_cluster.server_binaries()
    if binaries is None:
        sys.exit(postgres_cluster.INSTALL_HINT)
    cluster = postgres_cluster.Cluster(binaries).start()
    try:
        cluster.create_database("bench")
        env = {**os.environ, "DJANGO_SETTINGS_MODULE": "settings",
               "PYTHONPATH": os.pathsep.join([str(HERE / "django_project"), str(ROOT / "django_app")]),
               "BENCH_DB_NAME": "bench", "BENCH_DB_PORT": str(cluster.port),
               "BENCH_COMMUNITY_KEY": COMMUNITY, "BENCH_SPONSOR_KEY": SPONSOR}
        subprocess.run([sys.executable, "-m", "django", "migrate", "-v0"], env=env, check=True)
        yield cluster, env
    finally:
        cluster.remove()


def add_pending_payments(cluster: postgres_cluster.Cluster, order_ids: Iterable[str], created: str = "now") -> None:
    """Pending payments of 128.00 CNY, one per order id, written with COPY."""
    with psycopg.connect(cluster.url("bench")) as database, database.cursor() as cursor:
        with cursor.copy("COPY tavori_pay_payment (order_id, token, reference, order_key, amount, currency, "
                         "pay_mode, recipient_account, pay_url, status, failure_reason, needs_review, "
                         "created_at, updated_at) FROM STDIN") as copy:
            for order_id in order_ids:
                copy.write_row((order_id, uuid.uuid4(), order_id, "", "128.00", "CNY", "split", "artist", "",
                                "pending", "", False, created, created))


def gunicorn(env: dict[str, str], port: int, workers: int) -> subprocess.Popen:
    """The bench project under gunicorn, returned once every worker is up."""
    return start_server("gunicorn", "wsgi", port, workers, env, HERE / "django_project")
