"""The shop's side of a payment: what it does when the payment moves.

Each payment event reaches this receiver at least once, and again after a
failure until it returns; the event's id, kept on the order's history, makes
a second delivery change nothing in the database, and once() makes the
confirmation email, which no rollback can take back, go out once."""

import logging
import os
import time

from django.conf import settings
from django.core.mail import send_mail
from django.db import transaction
from django.dispatch import receiver
from tavori_pay_django import once
from tavori_pay_django.signals import payment_status_changed

from .models import Order, OrderEvent

logger = logging.getLogger("shop")

# How each payment status shows on the order.
ORDER_STATE = {"paid": Order.PAID, "settled": Order.PAID, "refunded": Order.PAID, "failed": Order.FAILED,
               "expired": Order.EXPIRED}


@receiver(payment_status_changed)
def fulfil(sender, payment, previous, new, event, **kwargs) -> None:
    if not isinstance(payment.order, Order):
        return
    with transaction.atomic():
        order = Order.objects.select_for_update().get(pk=payment.order.pk)
        if order.events.filter(payment_event=event.id).exists():
            return  # handled already
        if new == "paid":
            logger.info("fulfilling order %s in process %s", order.pk, os.getpid())
            time.sleep(settings.SHOP_FULFILMENT_SECONDS)  # stands for sending the goods
            with once(event, "confirmation email") as due:
                if due:
                    send_mail(f"Order {order.pk} is paid", f"Your {order.product} is on its way.", None,
                              [settings.SHOP_ORDERS_EMAIL])
        order.state = ORDER_STATE.get(new, order.state)
        order.settled = order.settled or new in ("settled", "refunded")
        order.refunded = order.refunded or new == "refunded"
        order.save(update_fields=["state", "settled", "refunded"])
        OrderEvent.objects.create(order=order, previous=previous, new=new, payment_event=event.id)
