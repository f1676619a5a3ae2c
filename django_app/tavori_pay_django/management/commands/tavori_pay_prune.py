"""manage.py tavori_pay_prune: delete stored callbacks that moved nothing
(bad signature, malformed, a duplicate, stale, or for an order never known)
once they are old. Callbacks that moved a payment or asked for a review are
kept with their payment, and so is a signed report of money taken for an
order the shop does not know: staff must place that money."""

from __future__ import annotations

import datetime as dt

from django.core.management.base import BaseCommand, CommandParser
from django.db import router
from django.utils import timezone

from ...models import UNPLACED_MONEY, Callback
from ...transitions import Outcome
from ...wording import counted
from ..ages import age

MOVED_NOTHING = [Outcome.BAD_SIGNATURE, Outcome.MALFORMED, Outcome.DUPLICATE, Outcome.STALE, Outcome.UNKNOWN_ORDER]


class Command(BaseCommand):
    help = "Delete old stored callbacks that moved no payment."

    def add_arguments(self, parser: CommandParser) -> None:
        parser.add_argument("--older-than", type=age("days"), default=30, metavar="DAYS",
                            help="only callbacks received longer ago (default 30 days)")

    def handle(self, *args: object, older_than: float, verbosity: int, **options: object) -> None:
        cutoff = timezone.now() - dt.timedelta(days=older_than)
        deleted, _ = (Callback.objects.using(router.db_for_write(Callback))
                      .filter(outcome__in=[outcome.value for outcome in MOVED_NOTHING], received_at__lt=cutoff)
                      .exclude(UNPLACED_MONEY)
                      .delete())
        if verbosity >= 1:
            self.stdout.write(f"Pruned {counted(deleted, 'callback')} that moved nothing")
