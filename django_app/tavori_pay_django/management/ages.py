"""The --older-than argument of the commands: a finite age that a date can
be computed from, or argparse's clear error (nan, inf and 1e6 days are not)."""

from __future__ import annotations

import argparse
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
