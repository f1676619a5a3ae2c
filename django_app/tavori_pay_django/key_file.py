"""The keys in auth_key.py. The module reads the file: whether it can, which
keys it finds and whether the sponsor key it would verify with is empty come
from a `tavori_pay.Client` built from it. `assignments` only says where in
the file each key stands, for messages about the line a person wrote, and
follows the module's rules exactly: only a line feed ends a line, and
trimming removes Unicode's White_Space characters."""

from __future__ import annotations

import hashlib
import hmac
import os
import re
import sys
from dataclasses import dataclass, field
from pathlib import Path

from django.conf import settings
from django.views.decorators.debug import sensitive_variables

import tavori_pay

KEY_NAMES = ("COMMUNITY_KEY", "SPONSOR_KEY")
QUOTES = "\"'"
WHITE_SPACE = ("\t\n\v\f\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B)))
               + "\u2028\u2029\u202f\u205f\u3000")
WRITTEN_NAME = re.compile(r"\w*")
# A body the module's verify_callback accepts, signed with the empty key: a
# client that verifies it holds an empty sponsor key.
PROBE = "{}"
EMPTY_KEY_SIGNATURE = hmac.new(b"", PROBE.encode(), hashlib.sha256).hexdigest()


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


def path() -> Path:
    return working_space() / "auth_key.py"


class Unreadable(Exception):
    """The module cannot take keys from the file: its own message, less its
    advice to pass the keys by hand (a project sets them in TAVORI_PAY)."""

    def __init__(self, message: str, missing: str | None):
        super().__init__(message)
        self.missing = missing  # the key name the file lacks, or None: the file cannot be read


@sensitive_variables()
def module_client() -> tavori_pay.Client:
    """The client the module builds from the key file, or Unreadable."""
    try:
        return tavori_pay.Client()
    except RuntimeError as error:
        message = str(error).removesuffix(" Please pass community_key and sponsor_key manually.")
        missing = next((name for name in KEY_NAMES if message.startswith(f"{name} not found")), None)
        raise Unreadable(message, missing) from None
    except Exception as error:  # the working space itself (a current directory gone)
        raise Unreadable(f"Cannot read auth_key.py: {error}", None) from None


def verifies_with_empty_key(client: tavori_pay.Client) -> bool:
    """Whether the client's sponsor key is empty, so that anyone could sign
    a callback it accepts."""
    try:
        client.verify_callback(PROBE, EMPTY_KEY_SIGNATURE)
    except RuntimeError:
        return False
    return True


def lines(text: str) -> list[str]:
    parts = text.split("\n")
    if parts[-1] == "":
        parts.pop()
    return [part.removesuffix("\r") for part in parts]


def assignments(path: Path) -> dict[str, Assignment | None]:
    """Each key name's assignment, None where the file has none. Raises
    OSError or UnicodeError when the file cannot be read."""
    numbered = list(enumerate(lines(path.read_bytes().decode("utf-8")), 1))
    found: dict[str, Assignment | None] = {}
    for name in KEY_NAMES:
        found[name] = next((_assignment(number, line.strip(WHITE_SPACE)) for number, line in numbered
                            if line.strip(WHITE_SPACE).startswith(name) and "=" in line), None)
    return found


def _assignment(number: int, line: str) -> Assignment:
    before, value = line.split("=", 1)
    written = WRITTEN_NAME.match(before)
    return Assignment(number, written.group() if written else before, value.strip(WHITE_SPACE))
