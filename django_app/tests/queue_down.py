"""A task backend whose queue is down until the test brings it back
(`RESTORED`): enqueueing waits for it, then runs the task at once."""

from __future__ import annotations

import threading

from settings import TASKS_PACKAGE

if TASKS_PACKAGE == "django.tasks":
    from django.tasks.backends.immediate import ImmediateBackend
else:
    from django_tasks.backends.immediate import ImmediateBackend  # type: ignore[no-redef]

RESTORED = threading.Event()


class QueueDownBackend(ImmediateBackend):
    def enqueue(self, task, args, kwargs):  # type: ignore[no-untyped-def]
        RESTORED.wait(60)
        return super().enqueue(task, args, kwargs)
