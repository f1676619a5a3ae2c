"""`tavori-sandbox replay FILE`: recorded callbacks (the JSON lines of the
Django app's `manage.py tavori_pay_export_callbacks`) posted in their order
to a notify URL, each signed with the sandbox account's sponsor key as the
service would sign it; one that was refused for its signature when it was
recorded is sent with a wrong one again, and one whose signature was never
checked (recorded while the shop's keys were unusable) is not sent at all:
signing it would turn a forgery into a valid callback. A notify URL off
this machine is refused unless the caller says it means it."""

from __future__ import annotations

import base64
import binascii
import ipaddress
import json
import urllib.error
import urllib.request
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import Path
from urllib.parse import urlencode, urlsplit

from .deliveries import OPENER, SIGNATURE_HEADER
from .rules import sign

WRONG_SIGNATURE = "0" * 64


class ReplayError(Exception):
    """A file that cannot be replayed: the line and what is wrong with it."""


@dataclass(frozen=True)
class Recorded:
    line: int
    order_id: str
    status: str
    body: bytes
    signature_ok: bool | None
    payment: str | None


def recorded(path: Path) -> Iterator[Recorded]:
    with path.open(encoding="utf-8") as lines:
        for number, text in enumerate(lines, 1):
            if not text.strip():
                continue
            try:
                record = json.loads(text)
                if "body" in record:
                    body = str(record["body"]).encode("utf-8")
                else:
                    body = base64.b64decode(record["body_base64"], validate=True)
                yield Recorded(number, str(record.get("order_id") or "?"), str(record.get("status") or "?"), body,
                               record.get("signature_ok"), record.get("payment"))
            except (ValueError, KeyError, TypeError, AttributeError, binascii.Error) as error:
                raise ReplayError(f"{path}, line {number}: not a recorded callback ({error})") from None


def loopback(url: str) -> bool:
    """Whether the URL names this machine: localhost or a loopback address."""
    host = urlsplit(url).hostname or ""
    if host == "localhost" or host.endswith(".localhost"):
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def replay(path: Path, notify_url: str, sponsor_key: str, report: Callable[[str], None], *,
           off_this_machine: bool = False) -> int:
    """Posts every recorded callback whose signature was checked; the number
    the notify URL did not take (any answer but 2xx, or none), and those not
    sent. ReplayError before anything is sent when the file cannot be read
    whole, or the URL is off this machine and `off_this_machine` is not set."""
    if urlsplit(notify_url).scheme not in ("http", "https"):
        raise ReplayError(f"--to takes an http:// or https:// notify URL, not {notify_url!r}")
    if not off_this_machine and not loopback(notify_url):
        raise ReplayError(f"{notify_url} is not on this machine (localhost or a loopback address): replayed "
                          "callbacks move its payments; say --to-another-host if that is what you mean")
    try:
        callbacks = list(recorded(path))
    except OSError as error:
        raise ReplayError(f"cannot read {path}: {error.strerror}") from None
    refused = 0
    for callback in callbacks:
        if callback.signature_ok is None:
            refused += 1
            report(f"line {callback.line}: {callback.status} for {callback.order_id}: not sent: its signature was "
                   "never checked, and signing it would make whatever it says valid")
            continue
        signature = WRONG_SIGNATURE if callback.signature_ok is False else sign(sponsor_key, callback.body)
        url = notify_url if callback.payment is None else \
            f"{notify_url}{'&' if '?' in notify_url else '?'}{urlencode({'payment': callback.payment})}"
        answer = _post(url, callback.body, signature)
        refused += not answer.startswith("HTTP 2")
        report(f"line {callback.line}: {callback.status} for {callback.order_id}: {answer}")
    return refused


def _post(url: str, body: bytes, signature: str) -> str:
    request = urllib.request.Request(url, body, method="POST", headers={
        "Content-Type": "application/json", SIGNATURE_HEADER: signature})
    try:
        with OPENER.open(request, timeout=30) as answer:
            return f"HTTP {answer.status}"
    except urllib.error.HTTPError as error:
        return f"HTTP {error.code}: {error.read(200).decode('utf-8', 'replace').strip()}"
    except (urllib.error.URLError, OSError) as error:
        return f"no answer: {getattr(error, 'reason', error)}"
