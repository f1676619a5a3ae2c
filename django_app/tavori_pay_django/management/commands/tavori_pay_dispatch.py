"""manage.py tavori_pay_dispatch: deliver again every payment event that a
receiver has not taken (it raised, or its process died). Run it from cron or
any scheduler; several hosts may run it at once."""

from __future__ import annotations

from django.core.management.base import BaseCommand, CommandError, CommandParser

from ...dispatch import deliver_due
from ...wording import counted


class Command(BaseCommand):
    help = "Deliver payment events to the receivers that have not yet taken them."

    def add_arguments(self, parser: CommandParser) -> None:
        parser.add_argument("--older-than", type=float, default=0, metavar="SECONDS",
                            help="only events written longer ago (default 0)")
        parser.add_argument("--ignore-backoff", action="store_true",
                            help="deliver even events whose next attempt is not yet due")

    def handle(self, *args: object, older_than: float, ignore_backoff: bool, **options: object) -> None:
        shown = self.stderr.isatty()

        def show(done: int, total: int) -> None:
            if shown:
                self.stderr.write(f"\rdelivering: {done}/{total} payments", ending="")
                self.stderr.flush()

        summary = deliver_due(older_than=older_than, ignore_backoff=ignore_backoff, progress=show)
        if shown and summary.counts:
            self.stderr.write("")
        for error in summary.errors[:20]:
            self.stderr.write(f"not delivered: {error}")
        self.stdout.write(summary.line())
        if summary.undelivered:
            raise CommandError(f"{counted(summary.undelivered, 'event')} not yet taken by every receiver")
