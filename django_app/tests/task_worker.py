"""django-tasks-db's db_worker on the test session's database, with the
receiver every process of the test's project connects while loading.

    python task_worker.py DATABASE PORT RECEIPTS   (runs every task waiting, then exits)
"""

from __future__ import annotations

import os
import sys

import on_test_database

os.environ["TAVORI_TEST_RECEIPTS"] = sys.argv[3]
on_test_database.setup(sys.argv[1], sys.argv[2], apps=("worker_receivers.WorkerReceiversConfig",),
                       task_backend="database")

from django.core.management import call_command  # noqa: E402

call_command("db_worker", "--batch", "--backend", "database", "--no-startup-delay", "--no-reload", verbosity=0)
