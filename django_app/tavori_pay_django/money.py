"""Every rule of the app's money, in one place: amounts are Decimal, in
cents, below LIMIT; what the service sends as text is read strictly; what
the shop reads is text with two decimals, never a float."""

from __future__ import annotations

from decimal import Decimal, InvalidOperation

CENT = Decimal("0.01")
LIMIT = Decimal(10) ** 15  # what the model and the service hold


def checked_amount(amount: Decimal | int) -> Decimal:
    """A checkout's amount as the service will receive it, or
    ValueError/TypeError. The module sends a double, so an amount is taken
    only when its value in cents survives the trip to a double and back."""
    if isinstance(amount, bool) or not isinstance(amount, (Decimal, int)):
        raise TypeError(f"amount must be a Decimal, not {type(amount).__name__}")
    amount = Decimal(amount)
    if not amount.is_finite() or amount <= 0:
        raise ValueError(f"amount must be a positive Decimal, not {amount}")
    if amount >= LIMIT:
        raise ValueError(f"amount must be below {LIMIT}, not {amount}")
    _, digits, exponent = amount.as_tuple()
    assert isinstance(exponent, int)  # a finite amount's
    if any(digits[max(0, len(digits) + exponent + 2):]) and exponent < -2:
        raise ValueError(f"amount {amount} has more than two fraction digits")
    if Decimal(repr(float(amount))) != amount:
        raise ValueError(f"amount {amount} cannot be sent exactly: the service takes it as a double, "
                         f"which holds {Decimal(repr(float(amount)))}")
    return amount.quantize(CENT)


def money(text: str) -> Decimal | None:
    """The service's amount text as a Decimal; None when it is not a finite
    plain number."""
    if not isinstance(text, str) or not text.isascii() or len(text) > 40:
        return None
    try:
        value = Decimal(text)
    except (InvalidOperation, TypeError):
        return None
    return value if value.is_finite() else None


def settled_amount(text: str, amount: Decimal) -> Decimal | None:
    """What the merchant received, when the service's text is a plain
    decimal with at most two fraction digits from 0 to the payment's
    amount; else None."""
    value = money(text)
    if value is None or not Decimal(0) <= value <= amount or value != value.quantize(CENT):
        return None
    return value.quantize(CENT)


def in_cents(total: Decimal | None) -> Decimal:
    """A sum with two decimals, as money is shown; SQLite's sums drop them."""
    return (total or Decimal(0)).quantize(CENT)


def as_text(amount: Decimal | None) -> str:
    """An amount as the shop reads it: two decimals, empty for none."""
    return "" if amount is None else str(amount.quantize(CENT))


def service_text(text: str) -> str:
    """The service's amount as text with two decimals when it is money,
    else as it came (at most 40 characters)."""
    value = money(text)
    return as_text(value) if value is not None and value == value.quantize(CENT) else text[:40]
