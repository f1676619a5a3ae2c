"""start_payment: the one call a shop makes at checkout."""

from __future__ import annotations

import re
from decimal import Decimal
from typing import Literal

from django.db import router, transaction
from django.http import HttpRequest
from django.urls import reverse
from django.utils import timezone
from django.views.decorators.debug import sensitive_variables
from tavori_pay import Client

from . import conf
from .errors import PaymentError
from .models import Payment
from .reports import CENT, apply, from_order_status
from .transitions import Status

CURRENCY = re.compile(r"[A-Z]{3}", re.ASCII)
LIMIT = Decimal(10) ** 15  # what the model and the service hold


@sensitive_variables()
def start_payment(amount: Decimal, currency: str, *, reference: str, recipient_account: str,
                  pay_mode: Literal["split", "direct"] = "split", return_url: str | None = None,
                  request: HttpRequest | None = None, reuse_pending: bool = True) -> Payment:
    """Creates the order at the service and returns its saved Payment;
    redirect the buyer to `payment.pay_url`.

    A second checkout for the same `reference` (a double click, the back
    button) gets the payment already waiting to be paid, when it has the
    same amount, currency, mode and recipient and the service confirms it
    can still be paid; `reuse_pending=False` always creates a new order.

    The payment row is written before the service is asked, so that no order
    the service creates can be unknown to the database: its notify URL names
    the row. If the service or the network fails, the row is marked failed
    (it has no pay URL and cannot be paid) and PaymentError is raised with
    the payment and the cause, whose traceback ends here: the frames below
    hold the request sent, keys included. ValueError and TypeError are for
    the shop's own arguments, refused before anything is written."""
    amount = checked_amount(amount)
    if pay_mode not in Payment.PayMode.values:
        raise ValueError(f"pay_mode must be 'split' or 'direct', not {pay_mode!r}")
    if not isinstance(reference, str) or not 0 < len(reference) <= 128:
        raise ValueError("reference must be a non-empty str of at most 128 characters")
    if not isinstance(currency, str) or not CURRENCY.fullmatch(currency):
        raise ValueError(f"currency must be three upper-case letters (ISO 4217, such as 'CNY'), not {currency!r:.40}")
    client = conf.client()
    base = public_base(request)
    if reuse_pending:
        waiting = _payable(client, reference, amount, currency, pay_mode, recipient_account)
        if waiting is not None:
            return waiting
    payment = Payment.objects.create(reference=reference, amount=amount, currency=currency, pay_mode=pay_mode,
                                     recipient_account=recipient_account)
    notify_url = f"{base}{reverse('tavori_pay:notify')}?payment={payment.token}"
    if return_url and return_url.startswith("/"):
        return_url = base + return_url
    try:
        result = client.create_payment(float(amount), currency, recipient_account, notify_url,
                                       pay_mode=pay_mode, return_url=return_url)
    except Exception as error:
        payment.status, payment.failure_reason = Status.FAILED, f"checkout failed: {_one_line(error)}"[:255]
        Payment.objects.filter(pk=payment.pk).update(status=payment.status, failure_reason=payment.failure_reason)
        raise PaymentError(payment.failure_reason, payment) from _without_frames(error)
    payment.order_id, payment.pay_url = result.order_id, result.pay_url
    payment.save(update_fields=["order_id", "pay_url", "updated_at"])
    return payment


def _payable(client: Client, reference: str, amount: Decimal, currency: str, pay_mode: str,
             recipient_account: str) -> Payment | None:
    """The payment for `reference` that the buyer can still pay, as the
    service confirms; its answer is applied on the way."""
    waiting = (Payment.objects.filter(reference=reference, status=Status.PENDING, amount=amount, currency=currency,
                                      pay_mode=pay_mode, recipient_account=recipient_account,
                                      order_id__isnull=False).exclude(pay_url="").order_by("-created_at").first())
    if waiting is None or waiting.order_id is None or (
            waiting.expires_at is not None and waiting.expires_at <= timezone.now()):
        return None
    try:
        report = from_order_status(client.query_order(waiting.order_id))
    except Exception:  # the service will say so again when it is asked to create the order
        return None
    with transaction.atomic(using=router.db_for_write(Payment)):
        locked = Payment.objects.select_for_update().get(pk=waiting.pk)
        apply(locked, report)
    if locked.status != Status.PENDING or (locked.expires_at is not None and locked.expires_at <= timezone.now()):
        return None
    return locked


def _one_line(error: BaseException) -> str:
    return " ".join(str(error).split()) or type(error).__name__


def _without_frames(error: BaseException) -> BaseException:
    """The error and the errors it was raised from, without their tracebacks."""
    seen = set[int]()
    link: BaseException | None = error
    while link is not None and id(link) not in seen:
        seen.add(id(link))
        link.__traceback__ = None
        link = link.__cause__ or link.__context__
    return error


def checked_amount(amount: Decimal) -> Decimal:
    """The amount as the service will receive it, or ValueError/TypeError.
    The module sends a double, so an amount is taken only when its value in
    cents survives the trip to a double and back."""
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


def public_base(request: HttpRequest | None) -> str:
    """Where the service reaches the shop: PUBLIC_URL, else the request's own address."""
    base = conf.config().public_url
    if base:
        return base
    if request is None:
        raise conf.ConfigurationError("start_payment needs request=, or TAVORI_PAY['PUBLIC_URL'] set")
    return request.build_absolute_uri("/").rstrip("/")
