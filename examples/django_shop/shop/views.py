"""The shop's pages. Checkout and the done page are async views: the
payment service is asked without holding up an ASGI server's event loop
(astart_payment, arefresh_payment), and they serve under WSGI as well."""

from decimal import Decimal

from asgiref.sync import sync_to_async
from django.conf import settings
from django.http import HttpResponseBadRequest
from django.shortcuts import aget_object_or_404, get_object_or_404, redirect, render
from django.urls import reverse
from tavori_pay_django import PaymentBusy, PaymentError, arefresh_payment, astart_payment

from .models import Order

PRODUCTS = {"poster": ("Concert poster", Decimal("128.00")), "ticket": ("Concert ticket", Decimal("45.50"))}


async def checkout(request):
    if request.method != "POST":
        return render(request, "shop/checkout.html", {"products": PRODUCTS})
    product, amount = PRODUCTS.get(request.POST.get("product", ""), (None, None))
    if product is None:
        return HttpResponseBadRequest("unknown product")
    order = await Order.objects.acreate(product=product, amount=amount)
    try:
        payment = await astart_payment(amount, "CNY", reference=order.reference, order=order,
                                recipient_account=settings.SHOP_ROYALTY_RECIPIENT,
                                return_url=reverse("done", args=[order.key]), request=request)
    except PaymentError:
        return render(request, "shop/checkout.html", {
            "products": PRODUCTS, "error": "The payment service cannot take the order just now; please try again.",
        }, status=503)
    return redirect(payment.pay_url)


# Orders are reached by their unguessable key, never by their number.


async def done(request, key):
    order = await aget_object_or_404(Order, key=key)
    payment = await sync_to_async(order.payment)()
    if payment is not None and payment.status == "pending":
        # The buyer can be back before the callback: ask the service (at
        # most once in a few seconds, however often the page is loaded).
        try:
            payment = await arefresh_payment(payment)
        except PaymentBusy as busy:  # a callback is being applied this moment: shown as stored
            payment = busy.payment
        await order.arefresh_from_db()
    if payment is not None:
        await payment.aevents_taken()  # what the status include reads: the shop has taken the payment
    return render(request, "shop/done.html", {"order": order, "payment": payment})


def order(request, key):
    order = get_object_or_404(Order, key=key)
    return render(request, "shop/order.html", {"order": order, "payment": order.payment(),
                                               "events": order.events.order_by("at", "pk")})
