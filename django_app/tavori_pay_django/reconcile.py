"""Reconciliation: asks the service about payments that are still open and
applies each answer as a callback would be applied. The recovery from lost
callbacks; safe to run from several hosts at once."""

from __future__ import annotations

import datetime as dt
import queue
import threading
from collections import Counter
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field

from django.db import DatabaseError, connections, transaction
from django.utils import timezone

from . import conf
from .models import Payment
from .reports import apply, from_order_status
from .transitions import OPEN, decide

SKIPPED = "skipped"  # taken by another run at the same moment, or no longer open
REFUSED = "refused"  # the service refused the query, or could not be reached


@dataclass
class Summary:
    counts: Counter = field(default_factory=Counter)
    refusals: list[str] = field(default_factory=list)

    @property
    def total(self) -> int:
        return sum(self.counts.values())

    def line(self, dry_run: bool = False) -> str:
        parts = ", ".join(f"{count} {name}" for name, count in sorted(self.counts.items())) or "nothing to do"
        return f"{'Would reconcile' if dry_run else 'Reconciled'} {self.total} payments: {parts}"


def stale_payments(older_than: float | None = None) -> list[int]:
    """Open payments created longer ago than `older_than` seconds (the
    RECONCILE_AFTER setting by default) that the service knows."""
    age = conf.config().reconcile_after if older_than is None else older_than
    cutoff = timezone.now() - dt.timedelta(seconds=age)
    return list(Payment.objects.filter(status__in=OPEN, created_at__lte=cutoff, order_id__isnull=False)
                .order_by("created_at").values_list("pk", flat=True))


def reconcile(payment_ids: Iterable[int], *, workers: int = 1, dry_run: bool = False,
              progress: Callable[[int], None] | None = None) -> Summary:
    """Queries and applies each payment on `workers` threads."""
    ids: queue.SimpleQueue = queue.SimpleQueue()
    for payment_id in payment_ids:
        ids.put(payment_id)
    client, summary, lock = conf.client(), Summary(), threading.Lock()

    def work() -> None:
        while True:
            try:
                payment_id = ids.get_nowait()
            except queue.Empty:
                return
            outcome = _reconcile_one(client, payment_id, dry_run, summary, lock)
            with lock:
                summary.counts[outcome] += 1
                done = summary.total
            if progress is not None:
                progress(done)

    def work_on_own_connections() -> None:
        try:
            work()
        finally:
            connections.close_all()

    if workers <= 1:  # on the caller's thread and connection (a view, the admin)
        work()
        return summary
    threads = [threading.Thread(target=work_on_own_connections) for _ in range(workers)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return summary


def _reconcile_one(client, payment_id: int, dry_run: bool, summary: Summary, lock: threading.Lock) -> str:
    try:
        with transaction.atomic():
            payment = (Payment.objects.select_for_update(skip_locked=True)
                       .filter(pk=payment_id, status__in=OPEN).first())
            if payment is None:
                return SKIPPED
            try:
                report = from_order_status(client.query_order(payment.order_id))
            except (RuntimeError, OSError) as error:
                with lock:
                    summary.refusals.append(f"{payment.order_id}: {error}")
                return REFUSED
            if dry_run:
                return decide(payment.status, report.status, report.amount_matches(payment)).outcome.value
            return apply(payment, report).outcome.value
    except DatabaseError as error:
        with lock:
            summary.refusals.append(f"payment {payment_id}: database error: {error}")
        return REFUSED
