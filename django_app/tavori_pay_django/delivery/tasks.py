"""The task that delivers a payment's events, when TAVORI_PAY["TASK_BACKEND"]
names an alias of the TASKS setting (Django's tasks framework: django.tasks
from Django 6.0, the django-tasks backport on 5.2). It is enqueued once a
move has committed. The event rows stay the record of what was delivered:
the task may run twice, or on several workers at once, and each receiver
still takes each event once; one never enqueued (the process died at the
commit) is delivered by `tavori_pay_dispatch`."""

from __future__ import annotations

from django.conf import settings

try:
    from django.tasks import task
except ImportError:  # Django 5.2 with the backport
    from django_tasks import task  # type: ignore[no-redef]

from .dispatcher import deliver_payments


def _configured_backend() -> str:
    """The alias the task is made for (the decorator checks it exists);
    enqueueing names TASK_BACKEND again, as it is then."""
    return (getattr(settings, "TAVORI_PAY", None) or {}).get("TASK_BACKEND") or "default"


def _deliver_payment_events(payment_id: int) -> str:
    """Delivers the payment's undelivered events; the summary line."""
    return deliver_payments([payment_id]).line()


# Stored with each task as its path since the first release, where tasks
# already queued look it up: tavori_pay_django.tasks, which re-exports it.
_deliver_payment_events.__module__ = "tavori_pay_django.tasks"
_deliver_payment_events.__name__ = _deliver_payment_events.__qualname__ = "deliver_payment_events"
deliver_payment_events = task(backend=_configured_backend())(_deliver_payment_events)
