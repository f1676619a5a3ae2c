"""Payments through tavori_pay in a Django project: a Payment model, a safe
notify view, signals, reconciliation and an admin.

    INSTALLED_APPS += ["tavori_pay_django"]
    path("payments/", include("tavori_pay_django.urls"))
    payment = start_payment(Decimal("12.50"), "CNY", reference=str(order.pk), recipient_account="artist")
    # PaymentError when the service or the network fails: payment_error.payment is marked failed
    client().query_order(payment.order_id)  # a tavori_pay.Client with the project's keys
    @receiver(payment_status_changed) def fulfil(sender, payment, previous, new, event, **kwargs): ...
"""

from __future__ import annotations

from typing import TYPE_CHECKING

from .errors import ConfigurationError, PaymentBusy, PaymentError

__all__ = ["ConfigurationError", "PaymentBusy", "PaymentError", "client", "deliver_due_events", "refresh_payment",
           "start_payment"]

if TYPE_CHECKING:  # the real signatures, for type checkers
    from .checkout import start_payment
    from .conf import client
    from .delivery.dispatcher import deliver_due_events
    from .reconcile import refresh_payment
else:
    def __getattr__(name: str) -> object:
        # Imported on first use: the models cannot load before Django's apps.
        if name == "client":
            from .conf import client
            return client
        if name == "start_payment":
            from .checkout import start_payment
            return start_payment
        if name == "deliver_due_events":
            from .delivery.dispatcher import deliver_due_events
            return deliver_due_events
        if name == "refresh_payment":
            from .reconcile import refresh_payment
            return refresh_payment
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
