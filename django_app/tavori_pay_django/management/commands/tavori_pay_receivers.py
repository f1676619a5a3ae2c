"""manage.py tavori_pay_receivers: the receivers of payment events in this
process, and what waiting events are for; and, on purpose, a receiver's
new name (--rename OLD NEW) or its retirement (--retire NAME) for the
events still waiting for it. An event is never handed to a receiver under
another name, nor marked taken by one that never took it, unless said here."""

from __future__ import annotations

from collections import Counter

from django.core.management.base import BaseCommand, CommandError, CommandParser
from django.db import router, transaction
from django.utils import timezone

from ...models import Payment, PaymentEvent
from ...signals import SIGNAL_OF
from ...wording import counted


class Command(BaseCommand):
    help = "List the receivers of payment events, or rename or retire one for the events waiting for it."

    def add_arguments(self, parser: CommandParser) -> None:
        action = parser.add_mutually_exclusive_group()
        action.add_argument("--rename", nargs=2, metavar=("OLD", "NEW"),
                            help="the events waiting for OLD are for NEW, which must be connected")
        action.add_argument("--retire", metavar="NAME", help="the events waiting for NAME no longer are")

    def handle(self, *args: object, rename: list[str] | None, retire: str | None, **options: object) -> None:
        connected = {name for signal in SIGNAL_OF.values() for name in signal.receivers_for_payments(Payment).named}
        if rename is not None:
            old, new = rename
            if new not in connected:
                raise CommandError(f"{new} is not connected in this process: connect it first, where every "
                                   "process connects its receivers")
            changed = self._change(old, new)
            self.stdout.write(f"{counted(changed, 'waiting event')} now for {new} instead of {old}")
        elif retire is not None:
            changed = self._change(retire, None)
            self.stdout.write(f"{counted(changed, 'waiting event')} no longer for {retire}")
        else:
            self._list(connected)

    def _change(self, old: str, new: str | None) -> int:
        alias, changed = router.db_for_write(PaymentEvent), 0
        with transaction.atomic(using=alias):
            for event in (PaymentEvent.objects.using(alias).select_for_update()
                          .filter(delivered_at=None, receivers__contains=old)):
                if old not in event.receivers_waiting():
                    continue
                names: list[str] = []
                for name in (event.receivers or "").splitlines():
                    replacement = new if name == old else name
                    if replacement is not None and replacement not in names:
                        names.append(replacement)
                event.receivers = "\n".join(names)
                changed += 1
                if not event.receivers_waiting():
                    event.delivered_at = timezone.now()
                event.save(update_fields=["receivers", "delivered_at"])
        return changed

    def _list(self, connected: set[str]) -> None:
        for name in sorted(connected):
            self.stdout.write(name)
        waiting: Counter[str] = Counter()
        for event in PaymentEvent.objects.using(router.db_for_read(PaymentEvent)).filter(
                delivered_at=None).only("receivers", "delivered_to"):
            waiting.update(event.receivers_waiting())
        for name, events in sorted(waiting.items()):
            if name not in connected:
                self.stderr.write(f"{name} is not connected here and {counted(events, 'event')} wait for it: "
                                  "connect it, or --rename or --retire it")
