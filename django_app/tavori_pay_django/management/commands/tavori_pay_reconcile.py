"""manage.py tavori_pay_reconcile: bring open payments to the state the
service knows, for the callbacks that never arrived. Run it from cron or any
scheduler; several hosts may run it at once."""

from __future__ import annotations

import datetime as dt
import socket
from collections.abc import Callable

from django.core.management.base import BaseCommand, CommandError, CommandParser
from django.db import DatabaseError, router
from django.utils import timezone

from ...delivery.dispatcher import deliver_due_events
from ...errors import ConfigurationError
from ...models import ReconcileRun
from ...reconcile import REFUSED, Summary, reconcile, stale_payments
from ...transitions import Outcome
from ...wording import counted
from ..ages import age

# Seconds a query may take, for a process that set no socket time-out of its
# own: the module waits as long as the socket default allows.
QUERY_TIMEOUT = 10


class Command(BaseCommand):
    help = "Ask the payment service about open payments and apply what it says."

    def add_arguments(self, parser: CommandParser) -> None:
        parser.add_argument("--older-than", type=age("seconds"), default=None, metavar="SECONDS",
                            help="only payments created longer ago (default: TAVORI_PAY['RECONCILE_AFTER'])")
        parser.add_argument("--workers", type=int, default=1, help="queries made at once (default 1)")
        parser.add_argument("--processes", type=int, default=1,
                            help="processes sharing the run, each making --workers queries at once (default 1)")
        parser.add_argument("--dry-run", action="store_true", help="ask, and show what would change, change nothing")

    def handle(self, *args: object, older_than: float | None, workers: int, processes: int, dry_run: bool,
               verbosity: int, **options: object) -> None:
        if workers < 1 or processes < 1:
            raise CommandError(f"--{'workers' if workers < 1 else 'processes'} must be at least 1")
        if socket.getdefaulttimeout() is None:
            socket.setdefaulttimeout(QUERY_TIMEOUT)
        started_at = timezone.now()
        try:
            payment_ids = stale_payments(older_than)
            show = self._progress(len(payment_ids)) if verbosity >= 1 else None
            summary = reconcile(payment_ids, workers=workers, processes=processes, dry_run=dry_run, progress=show)
            if not dry_run:  # and every other event whose retry time has come
                deliver_due_events()
                record_run(started_at, summary)
        except ConfigurationError as error:
            raise CommandError(str(error)) from None
        if show is not None:
            self.stderr.write("")
        for refusal in summary.refusals[:20]:
            self.stderr.write(f"refused: {refusal}")
        if verbosity >= 1:
            self.stdout.write(summary.line(dry_run))
        if summary.counts[REFUSED]:
            queries = counted(summary.counts[REFUSED], "query", "queries")
            raise CommandError(f"the service refused or could not answer {queries}")
        if summary.refusals:
            raise CommandError(summary.refusals[0])
        if summary.undelivered:
            raise CommandError(f"{counted(summary.undelivered, 'event')} not yet taken by every receiver; "
                               "tavori_pay_dispatch delivers them again")

    def _progress(self, total: int) -> Callable[[int], None] | None:
        if not total or not self.stderr.isatty():
            return None

        def show(done: int) -> None:
            if done == total or done % 25 == 0:
                self.stderr.write(f"\rreconciling: {done}/{total}", ending="")
                self.stderr.flush()
        return show


def record_run(started_at: dt.datetime, summary: Summary) -> None:
    """The run, for the health page; a database that cannot take it leaves
    the run's own work as it is, and says so."""
    try:
        ReconcileRun.objects.using(router.db_for_write(ReconcileRun)).create(
            started_at=started_at, finished_at=timezone.now(), asked=summary.total,
            moved=summary.counts[Outcome.APPLIED.value], refused=summary.counts[REFUSED], summary=summary.line()[:255])
    except DatabaseError as error:
        summary.refusals.append(f"the run was not recorded: database error: {error}")
