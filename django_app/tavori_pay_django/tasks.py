"""The task that delivers a payment's events, at the path stored with every
task enqueued (tavori_pay_django.tasks.deliver_payment_events); it lives
with the rest of the outbox in tavori_pay_django.delivery.tasks."""

from .delivery.tasks import deliver_payment_events

__all__ = ["deliver_payment_events"]
