"""The figures of the admin's "Payments health" page, each from one query
that an index serves, however many payments there are."""

from __future__ import annotations

import datetime as dt
from collections import Counter
from dataclasses import dataclass, field
from decimal import Decimal

from django.db import router
from django.db.models import Count, Min, Q, Sum
from django.db.models.functions import TruncDate
from django.utils import timezone

from .days import day_bounds
from .delivery import slow_receivers
from .delivery.effects import INTERRUPTED
from .delivery.events import ORDER_MISSING
from .models import Callback, Payment, PaymentEvent, ReconcileRun, SlowReceiver
from .money import in_cents
from .transitions import Outcome

DAYS = 7
# How many waiting events are read to name the receivers they wait for.
EVENTS_READ = 1000
REFUSALS = [Outcome.BAD_SIGNATURE.value, Outcome.MALFORMED.value, Outcome.UNKNOWN_ORDER.value, Callback.TOO_LARGE]


@dataclass(frozen=True)
class Sums:
    status: str
    currency: str
    today: int
    today_amount: Decimal
    week: int
    week_amount: Decimal


@dataclass
class Health:
    today: dt.date
    week_start: dt.date
    sums: list[Sums] = field(default_factory=list)
    # {day: {status: count}} for the last DAYS days, oldest first.
    per_day: dict[dt.date, Counter[str]] = field(default_factory=dict)
    needing_review: int = 0
    # Of those, payments whose money was taken for an order the shop does not have,
    orders_missing: int = 0
    # and effects outside the database started and never finished (once()).
    effects_interrupted: int = 0
    waiting_events: int = 0
    oldest_waiting: dt.datetime | None = None
    waiting_for: Counter[str] = field(default_factory=Counter)
    refused: Counter[str] = field(default_factory=Counter)
    last_run: ReconcileRun | None = None
    # Receivers slower than slow_receivers.SLOW_AFTER within the last day.
    slow_receivers: list[SlowReceiver] = field(default_factory=list)


def health() -> Health:
    today = timezone.localdate()
    week_start = today - dt.timedelta(days=DAYS - 1)
    since, today_start = day_bounds(week_start)[0], day_bounds(today)[0]
    payments = Payment.objects.using(router.db_for_read(Payment))
    report = Health(today, week_start)
    rows = (payments.filter(created_at__gte=since).values("status", "currency").order_by("status", "currency")
            .annotate(week=Count("id"), week_amount=Sum("amount"),
                      today=Count("id", filter=Q(created_at__gte=today_start)),
                      today_amount=Sum("amount", filter=Q(created_at__gte=today_start))))
    report.sums = [Sums(row["status"], row["currency"], row["today"], in_cents(row["today_amount"]), row["week"],
                        in_cents(row["week_amount"])) for row in rows]
    report.per_day = {week_start + dt.timedelta(days=n): Counter() for n in range(DAYS)}
    for row in (payments.filter(created_at__gte=since).annotate(day=TruncDate("created_at"))
                .values("day", "status").order_by("day", "status").annotate(count=Count("id"))):
        if row["day"] in report.per_day:
            report.per_day[row["day"]][row["status"]] += row["count"]
    report.needing_review = payments.filter(needs_review=True).count()
    report.orders_missing = payments.filter(needs_review=True, events__kind=PaymentEvent.REVIEW,
                                            events__stage=ORDER_MISSING).count()
    report.effects_interrupted = PaymentEvent.objects.using(router.db_for_read(PaymentEvent)).filter(
        kind=PaymentEvent.REVIEW, stage__startswith=INTERRUPTED, payment__needs_review=True).count()
    _waiting_events(report)
    callbacks = Callback.objects.using(router.db_for_read(Callback))
    report.refused = Counter({row["outcome"]: row["count"] for row in callbacks.filter(
        received_at__gte=timezone.now() - dt.timedelta(hours=24), outcome__in=REFUSALS)
        .values("outcome").order_by("outcome").annotate(count=Count("id"))})
    report.last_run = ReconcileRun.objects.using(router.db_for_read(ReconcileRun)).first()
    report.slow_receivers = slow_receivers.lately()
    return report


def _waiting_events(report: Health) -> None:
    """Events not yet taken by every receiver: how many, the oldest one's
    time, and the receivers the oldest EVENTS_READ of them wait for."""
    waiting = PaymentEvent.objects.using(router.db_for_read(PaymentEvent)).filter(delivered_at=None)
    found = waiting.aggregate(count=Count("id"), oldest=Min("created_at"))
    report.waiting_events, report.oldest_waiting = found["count"], found["oldest"]
    for receivers, delivered_to in waiting.order_by("id").values_list("receivers", "delivered_to")[:EVENTS_READ]:
        taken = set(delivered_to.splitlines())
        missing = [name for name in (receivers or "").splitlines() if name not in taken]
        report.waiting_for.update(missing or ["(the receivers of the delivering process)"])
