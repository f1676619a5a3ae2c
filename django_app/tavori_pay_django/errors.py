"""The exceptions the app raises to the shop: PaymentError around a
checkout, PaymentBusy from a refresh, ConfigurationError for settings or a
key file the app cannot work with."""

from __future__ import annotations

from typing import TYPE_CHECKING

from django.core.exceptions import ImproperlyConfigured

if TYPE_CHECKING:
    from .models import Payment


class ConfigurationError(ImproperlyConfigured):
    """The app cannot reach the service as configured: TAVORI_PAY, or the
    auth_key.py it reads instead (never a key in the message). `check_id`
    is the system check that reports its cause."""

    def __init__(self, message: str, check_id: str = "tavori_pay.E001"):
        super().__init__(message)
        self.check_id = check_id


class PaymentError(Exception):
    """The service refused the checkout or could not be reached (a refusal,
    no connection, a time-out, an answer cut off). `payment` is the Payment
    it was for, now marked failed; the cause is chained (`__cause__`)."""

    def __init__(self, message: str, payment: Payment):
        super().__init__(message)
        self.payment = payment


class PaymentBusy(Exception):
    """refresh_payment asked the service but could not apply its answer: the
    payment's row stayed locked (by a callback being applied, or a stuck
    transaction) for longer than it waits. `payment` is the payment as
    stored; the callback, or the next refresh, brings it on."""

    def __init__(self, message: str, payment: Payment):
        super().__init__(message)
        self.payment = payment
