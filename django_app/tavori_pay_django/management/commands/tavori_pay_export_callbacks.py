"""manage.py tavori_pay_export_callbacks: the stored callbacks whose
signature verified as JSON lines, oldest first, for `tavori-sandbox replay`
to post to a dev shop. The others (forged, or stored while the keys were
unusable) only with --include-unverified, marked: replay signs what it is
given, and would turn a forgery into a valid callback."""

from __future__ import annotations

import base64
import datetime as dt
import json
from collections.abc import Iterator

from django.core.management.base import BaseCommand, CommandError, CommandParser
from django.db import router
from django.db.models import QuerySet

from ...days import day_bounds
from ...models import Callback
from ..ages import day


class Command(BaseCommand):
    help = "Export the stored callbacks as JSON lines, for tavori-sandbox replay."

    def add_arguments(self, parser: CommandParser) -> None:
        parser.add_argument("--since", type=day, metavar="YYYY-MM-DD", help="received on that day or later")
        parser.add_argument("--until", type=day, metavar="YYYY-MM-DD", help="received on that day or before")
        parser.add_argument("--output", metavar="FILE", help="write them there (default: standard output)")
        parser.add_argument("--include-unverified", action="store_true",
                            help="also the callbacks whose signature did not verify or was never checked, marked "
                                 "\"unverified\": true (replay sends none of them signed)")

    def handle(self, *args: object, since: dt.date | None, until: dt.date | None, output: str | None,
               include_unverified: bool, verbosity: int, **options: object) -> None:
        callbacks = Callback.objects.using(router.db_for_read(Callback)).select_related("payment")
        if not include_unverified:
            callbacks = callbacks.filter(signature_ok=True)
        if since is not None:
            callbacks = callbacks.filter(received_at__gte=day_bounds(since)[0])
        if until is not None:
            callbacks = callbacks.filter(received_at__lt=day_bounds(until)[1])
        lines = (json.dumps(record) + "\n" for record in records(callbacks.order_by("received_at", "id")))
        if output is None:
            for line in lines:
                self.stdout.write(line, ending="")
            return
        try:
            with open(output, "w", encoding="utf-8") as file:
                written = sum(file.write(line) > 0 for line in lines)
        except OSError as error:
            raise CommandError(f"cannot write {output}: {error.strerror}") from None
        if verbosity >= 1:
            self.stderr.write(f"{written} callbacks written to {output}")


def records(callbacks: QuerySet[Callback]) -> Iterator[dict[str, object]]:
    """Each callback as it came: its body as text when it is UTF-8, else in
    base64, with whether its signature held and the payment's token, which
    the notify URL carried."""
    for callback in callbacks.iterator(chunk_size=500):
        body = bytes(callback.body)
        record: dict[str, object] = {
            "received_at": callback.received_at.isoformat(), "order_id": callback.order_id,
            "status": callback.status, "outcome": callback.outcome, "signature_ok": callback.signature_ok,
            "payment": str(callback.payment.token) if callback.payment is not None else None,
        }
        if callback.signature_ok is not True:
            record["unverified"] = True
        try:
            record["body"] = body.decode("utf-8")
        except UnicodeDecodeError:
            record["body_base64"] = base64.b64encode(body).decode("ascii")
        yield record
