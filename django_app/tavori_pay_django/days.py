"""A day's bounds, as the database holds times: what the health page, the
admin, the export and the accounting report count a day by."""

from __future__ import annotations

import datetime as dt

from django.conf import settings
from django.utils import timezone


def day_bounds(day: dt.date) -> tuple[dt.datetime, dt.datetime]:
    """The day in the project's time zone, as the database holds times."""
    start = dt.datetime.combine(day, dt.time.min)
    end = start + dt.timedelta(days=1)
    if settings.USE_TZ:
        return timezone.make_aware(start), timezone.make_aware(end)
    return start, end
