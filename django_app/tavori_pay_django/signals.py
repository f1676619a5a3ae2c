"""The signals a shop's fulfilment hangs on, where shops import them from;
they live with the rest of the outbox in tavori_pay_django.delivery."""

from .delivery.signals import SIGNAL_OF, payment_needs_review, payment_status_changed

__all__ = ["SIGNAL_OF", "payment_needs_review", "payment_status_changed"]
