"""manage.py tavori_pay_report --date YYYY-MM-DD: a day's payments beside
what the service says of each, for the day's accounting and a cron job. It
exits non-zero when any payment differs."""

from __future__ import annotations

import csv
import datetime as dt
import json
import socket
from collections.abc import Callable
from dataclasses import astuple, fields
from typing import Protocol

from django.core.management.base import BaseCommand, CommandError, CommandParser

from ... import conf
from ...day_report import DayReport, Line, Total, report_day
from ...errors import ConfigurationError
from ...wording import counted
from ..ages import day
from .tavori_pay_reconcile import QUERY_TIMEOUT

# What a spreadsheet would take as the start of a formula.
FORMULA_STARTS = ("=", "+", "-", "@", "\t", "\r")


class Command(BaseCommand):
    help = "Report a day's payments beside what the payment service says of each."

    def add_arguments(self, parser: CommandParser) -> None:
        parser.add_argument("--date", required=True, type=day, metavar="YYYY-MM-DD",
                            help="the day the payments were created, in the project's time zone")
        parser.add_argument("--format", choices=["csv", "json"], default="csv", help="csv (default) or json")
        parser.add_argument("--output", metavar="FILE", help="write the report there (default: standard output)")
        parser.add_argument("--workers", type=int, default=1, help="queries made at once (default 1)")

    def handle(self, *args: object, date: dt.date, format: str, output: str | None, workers: int, verbosity: int,
               **options: object) -> None:
        if workers < 1:
            raise CommandError("--workers must be at least 1")
        wanted = date
        if socket.getdefaulttimeout() is None:
            socket.setdefaulttimeout(QUERY_TIMEOUT)
        try:
            report = report_day(conf.client(), wanted, workers=workers, progress=self._progress())
        except ConfigurationError as error:
            raise CommandError(str(error)) from None
        try:
            if output is None:
                write(report, format, self.stdout)
            else:
                with open(output, "w", encoding="utf-8", newline="") as file:
                    write(report, format, file)
        except OSError as error:
            raise CommandError(f"cannot write {output}: {error.strerror}") from None
        if verbosity >= 1 and output is not None:
            self.stderr.write(f"{counted(len(report.lines), 'payment')} of {wanted} written to {output}")
        if report.differing:
            raise CommandError(f"{counted(report.differing, 'payment')} of {wanted} "
                               f"{'differs' if report.differing == 1 else 'differ'} from the service")

    def _progress(self) -> Callable[[int, int], None] | None:
        if not self.stderr.isatty():
            return None

        def show(done: int, total: int) -> None:
            if done == total or done % 25 == 0:
                self.stderr.write(f"\rasking the service: {done}/{total}", ending="\n" if done == total else "")
                self.stderr.flush()
        return show


class Writable(Protocol):
    def write(self, text: str, /) -> object: ...


def write(report: DayReport, format: str, to: Writable) -> None:
    if format == "json":
        to.write(json.dumps(report.as_dict(), indent=2) + "\n")
        return
    rows = csv.writer(to, lineterminator="\r\n")
    rows.writerow([column.name for column in fields(Line)])
    rows.writerows([_cell(value) for value in astuple(line)] for line in report.lines)
    rows.writerow([])
    rows.writerow([column.name for column in fields(Total)])
    rows.writerows([_cell(value) for value in astuple(total)] for total in report.totals())


def _cell(value: object) -> object:
    """A text cell a spreadsheet would run as a formula, quoted as text."""
    return "'" + value if isinstance(value, str) and value.startswith(FORMULA_STARTS) else value
