"""The commands' arguments of time: --older-than, a finite age that a date
can be computed from (nan, inf and 1e6 days are not), and a day given as
YYYY-MM-DD; else argparse's clear error."""

from __future__ import annotations

import argparse
import datetime as dt
from collections.abc import Callable

DAY = 86400
MOST_DAYS = 36500  # a hundred years: any older date is before every payment


def age(unit: str) -> Callable[[str], float]:
    """The type of an --older-than that takes `unit` ("days" or "seconds")."""
    most = MOST_DAYS if unit == "days" else MOST_DAYS * DAY

    def parse(text: str) -> float:
        try:
            value = float(text)
        except ValueError:
            value = -1.0
        if not 0 <= value <= most:
            raise argparse.ArgumentTypeError(f"takes a number of {unit} from 0 to {most:,}, not {text!r}")
        return value

    return parse


def day(text: str) -> dt.date:
    try:
        return dt.date.fromisoformat(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"takes a day as YYYY-MM-DD, not {text!r}") from None
