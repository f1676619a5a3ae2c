"""What the metrics add to one callback on the notify path: its outcome
counted and its time observed, and one receiver's delivery counted, as
prometheus_client records them in a process of its own and in gunicorn's
multiprocess mode (counts written to files). Best of 7 runs.

    .venv/bin/python bench/metrics_cost.py
"""

from __future__ import annotations

import os
import subprocess
import sys
import tempfile
import timeit
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
CALLS = 20_000


def measure() -> float:
    """µs per callback of the recorders, in this process's mode."""
    sys.path.insert(0, str(ROOT / "django_app"))
    import django
    from django.conf import settings

    settings.configure(INSTALLED_APPS=["django.contrib.contenttypes", "django.contrib.auth", "tavori_pay_django"],
                       DATABASES={"default": {"ENGINE": "django.db.backends.sqlite3", "NAME": ":memory:"}})
    django.setup()
    from tavori_pay_django import metrics

    def one_callback() -> None:
        metrics.callback_answered("applied", 0.004)
        metrics.event_handed("shop.receivers.fulfil", "returned")

    return min(timeit.repeat(one_callback, number=CALLS, repeat=7)) / CALLS * 1e6


def main() -> None:
    if len(sys.argv) > 1:  # a child: one mode, set up before prometheus_client is imported
        print(f"{measure():.2f}")
        return
    in_memory = subprocess.run([sys.executable, __file__, "child"], capture_output=True, text=True, check=True,
                               env={k: v for k, v in os.environ.items() if k != "PROMETHEUS_MULTIPROC_DIR"})
    with tempfile.TemporaryDirectory() as directory:
        files = subprocess.run([sys.executable, __file__, "child"], capture_output=True, text=True, check=True,
                               env={**os.environ, "PROMETHEUS_MULTIPROC_DIR": directory})
    print(f"metrics per callback on the notify path: {in_memory.stdout.strip()} µs in one process, "
          f"{files.stdout.strip()} µs in multiprocess mode (best of 7, {CALLS:,} callbacks each)")


if __name__ == "__main__":
    main()
