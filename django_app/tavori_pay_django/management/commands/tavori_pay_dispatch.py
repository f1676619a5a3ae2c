"""manage.py tavori_pay_dispatch: deliver again every payment event that a
receiver has not taken (it raised, or its process died). Run it from cron or
any scheduler; several hosts may run it at once."""

from __future__ import annotations

from django.core.management.base import BaseCommand, CommandError, CommandParser

from ...delivery.dispatcher import STUCK_AFTER, deliver_due_events
from ...wording import counted
from ..ages import age


class Command(BaseCommand):
    help = "Deliver payment events to the receivers that have not yet taken them."

    def add_arguments(self, parser: CommandParser) -> None:
        parser.add_argument("--older-than", type=age("seconds"), default=0, metavar="SECONDS",
                            help="only events written longer ago (default 0)")
        parser.add_argument("--ignore-backoff", action="store_true",
                            help="deliver even events whose next attempt is not yet due")

    def handle(self, *args: object, older_than: float, ignore_backoff: bool, verbosity: int,
               **options: object) -> None:
        shown = self.stderr.isatty() and verbosity >= 1

        def show(done: int, total: int) -> None:
            if shown:
                self.stderr.write(f"\rdelivering: {done}/{total} payments", ending="")
                self.stderr.flush()

        summary = deliver_due_events(older_than=older_than, ignore_backoff=ignore_backoff, progress=show)
        if shown and summary.counts:
            self.stderr.write("")
        for error in summary.errors[:20]:
            self.stderr.write(f"not delivered: {error}")
        if verbosity >= 1:
            self.stdout.write(summary.line())
        for receiver, events in summary.stuck.most_common():
            self.stderr.write(f"{receiver} has kept {counted(events, 'event')} waiting for over "
                              f"{STUCK_AFTER // 3600} hour")
        if not summary.ok:
            events = max(summary.undelivered, sum(summary.stuck.values()))
            raise CommandError(f"{counted(events, 'event')} not yet taken by every receiver")
