from django.db import models


class Order(models.Model):
    """The shop's own record of an order; the payment service's callbacks
    move it forward, each at most once."""

    PENDING, PAID, FAILED, EXPIRED = "pending", "paid", "failed", "expired"

    product = models.CharField(max_length=100)
    amount = models.DecimalField(max_digits=12, decimal_places=2)
    tavori_order_id = models.CharField(max_length=64, unique=True, null=True)
    state = models.CharField(max_length=16, default=PENDING)
    settled = models.BooleanField(default=False)
    refunded = models.BooleanField(default=False)
    callbacks = models.PositiveIntegerField(default=0)
    created = models.DateTimeField(auto_now_add=True)

    def apply(self, status: str) -> bool:
        """Takes one verified callback into account; False when it changes
        nothing (a repeated delivery)."""
        self.callbacks += 1
        changed = False
        if status in (self.PAID, self.FAILED, self.EXPIRED) and self.state == self.PENDING:
            self.state, changed = status, True
        elif status == "settled" and not self.settled:
            self.settled = changed = True
        elif status == "refunded" and not self.refunded:
            self.refunded = changed = True
        self.save()
        return changed
