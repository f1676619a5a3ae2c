"""Receivers slow enough to hold a worker: each one's count, slowest and
last time over SLOW_AFTER seconds, kept in a row of its own (SlowReceiver)
for the health page, which every process reads alike. Written only when a
receiver was slow, after its delivery's transaction, so that a receiver
that raised, or a rolled-back delivery, is still counted."""

from __future__ import annotations

import datetime as dt
import logging

from django.db import DatabaseError, router, transaction
from django.db.models import F
from django.db.models.functions import Greatest
from django.utils import timezone

from ..models import SlowReceiver

logger = logging.getLogger("tavori_pay_django")

# Seconds a receiver may take with an event before it is named.
SLOW_AFTER = 1.0


def record(timings: list[tuple[str, float]]) -> None:
    """The slow receivers' times, added to their rows; never raises: the
    delivery is done, and a figure lost is no event lost."""
    alias, now = router.db_for_write(SlowReceiver), timezone.now()
    try:
        for name, seconds in timings:
            with transaction.atomic(using=alias):
                rows = SlowReceiver.objects.using(alias)
                changes = {"times": F("times") + 1, "slowest_seconds": Greatest("slowest_seconds", seconds),
                           "last_seconds": seconds, "last_at": now}
                if not rows.filter(receiver=name[:255]).update(**changes):
                    rows.bulk_create([SlowReceiver(receiver=name[:255], last_at=now)], ignore_conflicts=True)
                    rows.filter(receiver=name[:255]).update(**changes)
    except DatabaseError as error:
        logger.warning("receivers' times not recorded: database error: %s", error)


def lately(hours: float = 24) -> list[SlowReceiver]:
    """The receivers slow within the last `hours`, the slowest first."""
    since = timezone.now() - dt.timedelta(hours=hours)
    return list(SlowReceiver.objects.using(router.db_for_read(SlowReceiver)).filter(last_at__gte=since)
                .order_by("-slowest_seconds"))
