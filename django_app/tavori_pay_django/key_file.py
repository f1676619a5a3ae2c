"""The keys in auth_key.py as the module reads them: for each name, the
first line that begins with it and holds a "=", and the rest of that line
less one pair of quotes. Where the module looks for the file follows its own
rule."""

from __future__ import annotations

import os
import sys
from dataclasses import dataclass, field
from pathlib import Path

from django.conf import settings

KEY_NAMES = ("COMMUNITY_KEY", "SPONSOR_KEY")
QUOTES = "\"'"


@dataclass(frozen=True)
class Assignment:
    number: int
    written_name: str
    value: str = field(repr=False)  # the text after "=", as written

    @property
    def key(self) -> str:
        if len(self.value) >= 2 and self.value[0] in QUOTES and self.value[-1] == self.value[0]:
            return self.value[1:-1]
        return self.value


def working_space() -> Path:
    """Where the module looks for auth_key.py."""
    working_space = getattr(settings, "WORKING_SPACE", None)
    if isinstance(working_space, str):
        return Path(working_space)
    if os.environ.get("IS_LAN") == "true":
        return Path(sys.executable).parent
    return Path(os.getcwd())


def assignments(path: Path) -> dict[str, Assignment | None]:
    """Each key name's assignment, None where the file has none. Raises
    OSError or UnicodeError when the file cannot be read."""
    lines = path.read_text(encoding="utf-8").splitlines()
    found: dict[str, Assignment | None] = {}
    for name in KEY_NAMES:
        found[name] = next((Assignment(number, *(part.strip() for part in line.strip().split("=", 1)))
                            for number, line in enumerate(lines, 1)
                            if line.strip().startswith(name) and "=" in line), None)
    return found
