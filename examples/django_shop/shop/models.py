import uuid

from django.db import models
from tavori_pay_django.models import Payment


class Order(models.Model):
    """The shop's own order; its payments are started with `order=` it."""

    PENDING, PAID, FAILED, EXPIRED = "pending", "paid", "failed", "expired"

    # What the order's pages are reached by: unguessable, unlike its number.
    key = models.UUIDField(default=uuid.uuid4, unique=True, editable=False)
    product = models.CharField(max_length=100)
    amount = models.DecimalField(max_digits=12, decimal_places=2)
    state = models.CharField(max_length=16, default=PENDING)
    settled = models.BooleanField(default=False)
    refunded = models.BooleanField(default=False)
    created = models.DateTimeField(auto_now_add=True)

    @property
    def reference(self) -> str:
        return f"shop-order-{self.pk}"

    def payment(self) -> Payment | None:
        return Payment.objects.for_order(self).first()


class OrderEvent(models.Model):
    """Each move of an order's payment, as fulfilment saw it."""

    order = models.ForeignKey(Order, on_delete=models.CASCADE, related_name="events")
    previous = models.CharField(max_length=16)
    new = models.CharField(max_length=16)
    # The tavori_pay PaymentEvent this move came in: each is handled once.
    payment_event = models.BigIntegerField(unique=True)
    at = models.DateTimeField(auto_now_add=True)
