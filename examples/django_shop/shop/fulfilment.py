"""The shop's side of a payment: what it does when the payment moves."""

from django.db import transaction
from django.dispatch import receiver
from tavori_pay_django.signals import payment_status_changed

from .models import Order, OrderEvent

# How each payment status shows on the order.
ORDER_STATE = {"paid": Order.PAID, "settled": Order.PAID, "refunded": Order.PAID, "failed": Order.FAILED,
               "expired": Order.EXPIRED}


@receiver(payment_status_changed)
def fulfil(sender, payment, previous, new, **kwargs) -> None:
    if not payment.reference.startswith("shop-order-"):
        return
    with transaction.atomic():
        order = Order.objects.select_for_update().get(pk=int(payment.reference.removeprefix("shop-order-")))
        order.state = ORDER_STATE.get(new, order.state)
        order.settled = order.settled or new in ("settled", "refunded")
        order.refunded = order.refunded or new == "refunded"
        order.save(update_fields=["state", "settled", "refunded"])
        OrderEvent.objects.create(order=order, previous=previous, new=new)
