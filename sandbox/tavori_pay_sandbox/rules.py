"""What the service checks of each request, with the refusal the client sees
in `detail`."""

from __future__ import annotations

import hashlib
import hmac
import re
from decimal import Decimal

from .store import Account, Store

TIMESTAMP_WINDOW = 300  # seconds either side of the service clock
PAY_MODES = ("split", "direct")
# ASCII digits only (str.isdigit would take "²" and other scripts' digits),
# and few enough of them that every amount is exact in cents.
AMOUNT = re.compile(r"(0|[1-9][0-9]{0,14})(\.[0-9]{1,2})?")
CURRENCY = re.compile(r"[A-Z]{3}", re.ASCII)
TIMESTAMP = re.compile(r"[0-9]{1,12}")
NONCE = re.compile(r"[0-9a-f]{32}")
CONTROL = re.compile(r"[\x00-\x1f\x7f]")


def sign(sponsor_key: str, text: str | bytes) -> str:
    """The service's signature: HMAC-SHA-256 under the sponsor key, in hex."""
    data = text if isinstance(text, bytes) else text.encode()
    return hmac.new(sponsor_key.encode(), data, hashlib.sha256).hexdigest()


class Refusal(Exception):
    """A request the service answers with {"detail": message}."""


def required(form: dict[str, str], name: str) -> str:
    value = form.get(name, "")
    if value == "":
        raise Refusal(f"Missing field: {name}")
    return value


def account_of(store: Store, form: dict[str, str]) -> Account:
    account = store.account(required(form, "community_key"))
    if account is None:
        raise Refusal("Unknown community key")
    return account


def check_freshness(store: Store, account: Account, form: dict[str, str], now: float) -> None:
    """The timestamp is near the service clock and the nonce is new."""
    timestamp, nonce = required(form, "timestamp"), required(form, "nonce")
    if not TIMESTAMP.fullmatch(timestamp):
        raise Refusal("Timestamp must be whole seconds since 1970 in at most 12 decimal digits")
    if abs(int(timestamp) - now) > TIMESTAMP_WINDOW:
        raise Refusal(f"Timestamp is more than {TIMESTAMP_WINDOW} seconds away from the service clock")
    if not NONCE.fullmatch(nonce):
        raise Refusal("Nonce must be 32 lower-case hex digits")
    if not store.remember_nonce(account.community_key, nonce, now):
        raise Refusal("Nonce was used before: the request is a replay")


def amount_of(form: dict[str, str]) -> Decimal:
    text = required(form, "amount")
    if not AMOUNT.fullmatch(text) or Decimal(text) <= 0:
        raise Refusal("Amount must be a positive decimal below 10^15 with at most two fraction digits, "
                      f"not {text[:40]!r}")
    return Decimal(text)


def check_payment(store: Store, form: dict[str, str], now: float) -> tuple[Account, Decimal]:
    """A create-payment form the service accepts: its account and amount."""
    account = account_of(store, form)
    if not hmac.compare_digest(required(form, "sponsor_key").encode(), account.sponsor_key.encode()):
        raise Refusal("Sponsor key does not match the community key")
    check_freshness(store, account, form, now)
    amount = amount_of(form)
    currency = required(form, "currency")
    if not CURRENCY.fullmatch(currency):
        raise Refusal(f"Currency must be three upper-case letters (ISO 4217, such as CNY), not {currency[:40]!r}")
    required(form, "user_notify_url")
    for name in ("user_notify_url", "return_url"):
        # A URL goes into a Location header and a request line: a line break
        # in it would let its author add headers of their own.
        if CONTROL.search(form.get(name, "")):
            raise Refusal(f"{name} must not contain control characters")
    mode = required(form, "pay_mode")
    if mode not in PAY_MODES:
        raise Refusal(f"Unknown pay_mode {mode!r}: use 'split' or 'direct'")
    if mode == "split" and form.get("recipient_account", "") == "":
        raise Refusal("A split payment needs recipient_account")
    return account, amount


def check_status_query(store: Store, query: dict[str, str], now: float) -> Account:
    """An order-status query signed with the account's sponsor key."""
    account = account_of(store, query)
    timestamp, nonce, signature = (required(query, name) for name in ("timestamp", "nonce", "signature"))
    if "order_id" not in query:
        raise Refusal("Missing field: order_id")
    signed = account.community_key + timestamp + nonce + query["order_id"]
    if not hmac.compare_digest(sign(account.sponsor_key, signed).encode(), signature.encode()):
        raise Refusal("Invalid signature")
    check_freshness(store, account, query, now)
    return account
