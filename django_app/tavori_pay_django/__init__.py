"""Payments through tavori_pay in a Django project: a Payment model, a safe
notify view, signals, reconciliation and an admin.

    INSTALLED_APPS += ["tavori_pay_django"]
    path("payments/", include("tavori_pay_django.urls"))
    payment = start_payment(Decimal("12.50"), "CNY", reference=str(order.pk), recipient_account="artist")
    # PaymentError when the service or the network fails: payment_error.payment is marked failed
    client().query_order(payment.order_id)  # a tavori_pay.Client with the project's keys
    @receiver(payment_status_changed) def fulfil(sender, payment, previous, new, event, **kwargs): ...
    with once(event, "confirmation email") as due: ...  # an effect outside the database, done once
"""

from __future__ import annotations

from typing import TYPE_CHECKING

from .errors import ConfigurationError, PaymentBusy, PaymentError

__all__ = ["ConfigurationError", "PaymentBusy", "PaymentError", "arefresh_payment", "astart_payment", "client",
           "deliver_due_events", "once", "refresh_payment", "start_payment"]

if TYPE_CHECKING:  # the real signatures, for type checkers
    from .checkout import astart_payment, start_payment
    from .conf import client
    from .delivery.dispatcher import deliver_due_events
    from .delivery.effects import once
    from .reconcile import arefresh_payment, refresh_payment
else:
    import importlib

    # Imported on first use: the models cannot load before Django's apps.
    _HOMES = {"client": "conf", "start_payment": "checkout", "astart_payment": "checkout",
              "deliver_due_events": "delivery.dispatcher", "once": "delivery.effects", "refresh_payment": "reconcile",
              "arefresh_payment": "reconcile"}

    def __getattr__(name: str) -> object:
        if name not in _HOMES:
            raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
        return getattr(importlib.import_module(f".{_HOMES[name]}", __name__), name)
