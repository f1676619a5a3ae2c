"""start_payment: the one call a shop makes at checkout."""

from __future__ import annotations

import datetime as dt
import re
import time
from dataclasses import dataclass
from decimal import Decimal
from functools import partial
from typing import Literal

from asgiref.sync import sync_to_async
from django.contrib.contenttypes.models import ContentType
from django.db import router, transaction
from django.db.models import Model, Q
from django.http import HttpRequest
from django.urls import reverse
from django.utils import timezone
from django.views.decorators.debug import sensitive_variables

from tavori_pay import Client

from . import conf, metrics
from .errors import ConfigurationError, PaymentError
from .locks import lock_reference
from .models import ORDER_KEY_LENGTH, Payment
from .money import checked_amount
from .moves import apply
from .own_connection import apart_from_callers_transaction
from .reports import from_order_status
from .transitions import Status

CURRENCY = re.compile(r"[A-Z]{3}", re.ASCII)
# Seconds a payment without an order id counts as being created by another
# checkout, which a second checkout for its reference waits for: the time a
# create request may take. An older one's checkout died.
CREATING_FOR = 60


@sensitive_variables()
def start_payment(amount: Decimal | int, currency: str, *, reference: str, recipient_account: str,
                  pay_mode: Literal["split", "direct"] = "split", return_url: str | None = None,
                  request: HttpRequest | None = None, reuse_pending: bool = True,
                  order: Model | None = None) -> Payment:
    """Creates the order at the service and returns its saved Payment;
    redirect the buyer to `payment.pay_url`. `order`, the shop's own saved
    object the payment is for, is kept with it: `payment.order`, and
    `Payment.objects.for_order(order)`.

    A second checkout for the same `reference` (a double click, the back
    button) gets the payment already waiting to be paid, when it has the
    same amount, currency, mode, recipient and order and the service confirms it
    can still be paid; `reuse_pending=False` always creates a new order.

    The payment row is written before the service is asked, so that no order
    the service creates can be unknown to the database: its notify URL names
    the row. It is committed before the service is asked, apart from any
    transaction the caller holds open (ATOMIC_REQUESTS, an atomic block),
    on a connection of its own, so that the caller's rollback cannot lose
    it; on SQLite that cannot be done, and TransactionManagementError says
    so. If the service or the network fails, the row is marked failed
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
    if order is not None and (not isinstance(order, Model) or order.pk is None):
        raise ValueError("order must be a saved model instance (it is kept by its primary key)")
    client = conf.client()
    base = public_base(request)
    # Resolved here, on the caller's thread: its URLconf and script prefix.
    notify_url = f"{base}{reverse('tavori_pay:notify')}?payment="
    if return_url and return_url.startswith("/"):
        return_url = base + return_url
    alias = router.db_for_write(Payment)
    shop_order = ShopOrder.of(order, alias)
    checkout = Checkout(reference, amount, currency, pay_mode, recipient_account, return_url, shop_order)
    return apart_from_callers_transaction(alias, partial(_start, client, checkout, notify_url, reuse_pending))


async def astart_payment(amount: Decimal | int, currency: str, *, reference: str, recipient_account: str,
                         pay_mode: Literal["split", "direct"] = "split", return_url: str | None = None,
                         request: HttpRequest | None = None, reuse_pending: bool = True,
                         order: Model | None = None) -> Payment:
    """start_payment for async views. It runs in Django's thread for
    synchronous code, as the ORM's own async methods do, so that neither
    the database nor the service's answer blocks the event loop."""
    return await sync_to_async(start_payment)(amount, currency, reference=reference,
                                              recipient_account=recipient_account, pay_mode=pay_mode,
                                              return_url=return_url, request=request,
                                              reuse_pending=reuse_pending, order=order)


@dataclass(frozen=True)
class ShopOrder:
    """The shop's object a payment is for, as the payment row keeps it."""
    type_id: int | None
    key: str

    @classmethod
    def of(cls, order: Model | None, alias: str) -> ShopOrder:
        if order is None:
            return cls(None, "")
        key = str(order.pk)
        if len(key) > ORDER_KEY_LENGTH:
            raise ValueError(f"order's primary key is longer than {ORDER_KEY_LENGTH} characters as text")
        return cls(ContentType.objects.db_manager(alias).get_for_model(order).pk, key)


@dataclass(frozen=True)
class Checkout:
    reference: str
    amount: Decimal
    currency: str
    pay_mode: Literal["split", "direct"]
    recipient_account: str
    return_url: str | None
    order: ShopOrder

    def matching(self) -> dict[str, object]:
        return {"reference": self.reference, "amount": self.amount, "currency": self.currency,
                "pay_mode": self.pay_mode, "recipient_account": self.recipient_account,
                "order_type_id": self.order.type_id, "order_key": self.order.key}


@sensitive_variables()
def _start(client: Client, checkout: Checkout, notify_url: str, reuse_pending: bool) -> Payment:
    payment, created = _claim(checkout, reuse_pending)
    if not created:
        payable = _payable(client, _created_elsewhere(payment))
        if payable is not None:
            return payable
        payment, _ = _claim(checkout, reuse_pending=False)
    try:
        result = metrics.service_request("create_payment", client.create_payment, float(checkout.amount),
                                         checkout.currency, checkout.recipient_account,
                                         notify_url + str(payment.token), pay_mode=checkout.pay_mode,
                                         return_url=checkout.return_url)
    except Exception as error:
        payment.status, payment.failure_reason = Status.FAILED, f"checkout failed: {_one_line(error)}"[:255]
        Payment.objects.filter(pk=payment.pk).update(status=payment.status, failure_reason=payment.failure_reason)
        raise PaymentError(payment.failure_reason, payment) from _without_frames(error)
    payment.order_id, payment.pay_url = result.order_id, result.pay_url
    payment.save(update_fields=["order_id", "pay_url", "updated_at"])
    return payment


def _claim(checkout: Checkout, reuse_pending: bool) -> tuple[Payment, bool]:
    """The payment still waiting for the checkout's reference, or being created
    by another checkout at this moment, with False; else a new payment row,
    committed before the service is asked, with True. Two checkouts for one
    reference decide one after the other."""
    alias, now = router.db_for_write(Payment), timezone.now()
    with transaction.atomic(using=alias):
        lock_reference(alias, checkout.reference)
        if reuse_pending:
            waiting = (Payment.objects.using(alias).filter(status=Status.PENDING, **checkout.matching())
                       .filter(Q(order_id__isnull=False, expires_at=None) |
                               Q(order_id__isnull=False, expires_at__gt=now) |
                               Q(order_id=None, created_at__gt=now - dt.timedelta(seconds=CREATING_FOR)))
                       .exclude(order_id__isnull=False, pay_url="").order_by("-created_at").first())
            if waiting is not None:
                return waiting, False
        return Payment.objects.using(alias).create(**checkout.matching()), True


def _created_elsewhere(payment: Payment) -> Payment | None:
    """The payment once the checkout creating it has its order, or None when
    that failed or is taking longer than CREATING_FOR."""
    pause = 0.02
    while payment.order_id is None:
        if payment.status != Status.PENDING or payment.created_at <= timezone.now() - dt.timedelta(
                seconds=CREATING_FOR):
            return None
        time.sleep(pause)  # another process's commit: no event to wait on across processes
        pause = min(pause * 2, 0.5)
        payment.refresh_from_db()
    return payment


def _payable(client: Client, waiting: Payment | None) -> Payment | None:
    """The waiting payment when the buyer can still pay it, as the service
    confirms; its answer is applied on the way."""
    if waiting is None or waiting.order_id is None or not waiting.pay_url:
        return None
    try:
        report = from_order_status(metrics.service_request("query_order", client.query_order, waiting.order_id))
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


def public_base(request: HttpRequest | None) -> str:
    """Where the service reaches the shop: PUBLIC_URL, else the request's own address."""
    base = conf.config().public_url
    if base:
        return base
    if request is None:
        raise ConfigurationError("start_payment needs request=, or TAVORI_PAY['PUBLIC_URL'] set")
    return request.build_absolute_uri("/").rstrip("/")
