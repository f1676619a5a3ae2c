"""Django set up in a process of its own on the test session's database, as
a separate host (a web worker, a task worker) would run: for the scripts
the tests start."""

from __future__ import annotations

import os
import sys
from pathlib import Path


def setup(database: str, port: str, *, apps: tuple[str, ...] = (), task_backend: str | None = None) -> None:
    sys.path.insert(0, str(Path(__file__).resolve().parents[1]))  # the app as the tests run it
    os.environ["DJANGO_SETTINGS_MODULE"] = "settings"
    os.environ.setdefault("TAVORI_TEST_DATABASE", "postgresql")
    import django
    import settings  # changed before Django reads it

    for alias in settings.DATABASES.values():
        alias.update(NAME=database, PORT=port)
    settings.INSTALLED_APPS = [*settings.INSTALLED_APPS, *apps]
    if task_backend is not None:
        settings.TAVORI_PAY = {**settings.TAVORI_PAY, "TASK_BACKEND": task_backend}
    django.setup()
