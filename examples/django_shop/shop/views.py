from decimal import Decimal

import tavori_pay
from django.conf import settings
from django.db import transaction
from django.http import HttpResponse, HttpResponseBadRequest, HttpResponseNotFound
from django.shortcuts import get_object_or_404, redirect, render
from django.urls import reverse
from django.views.decorators.csrf import csrf_exempt
from django.views.decorators.http import require_POST

from .models import Order

PRODUCTS = {"poster": ("Concert poster", Decimal("128.00")), "ticket": ("Concert ticket", Decimal("45.50"))}


def payments() -> tavori_pay.Client:
    # Reads the keys from WORKING_SPACE/auth_key.py each time, so a changed
    # key file takes effect without a restart.
    return tavori_pay.Client()


def public_url(request, path: str) -> str:
    return settings.SHOP_PUBLIC_URL.rstrip("/") + path if settings.SHOP_PUBLIC_URL else request.build_absolute_uri(path)


def checkout(request):
    if request.method != "POST":
        return render(request, "shop/checkout.html", {"products": PRODUCTS})
    product, amount = PRODUCTS.get(request.POST.get("product", ""), (None, None))
    if product is None:
        return HttpResponseBadRequest("unknown product")
    order = Order.objects.create(product=product, amount=amount)
    payment = payments().create_payment(
        float(amount), "CNY", settings.SHOP_ROYALTY_RECIPIENT,
        public_url(request, reverse("notify")),
        return_url=public_url(request, reverse("done", args=[order.pk])),
    )
    order.tavori_order_id = payment.order_id
    order.save(update_fields=["tavori_order_id"])
    return redirect(payment.pay_url)


@csrf_exempt
@require_POST
def notify(request):
    """The service's callback: verified against the raw body before anything
    in it is believed."""
    try:
        fields = payments().verify_callback(request.body.decode("utf-8"),
                                            request.headers.get("X-Tavori-Signature", ""))
    except (RuntimeError, UnicodeDecodeError):
        return HttpResponseBadRequest("invalid callback")
    with transaction.atomic():
        order = Order.objects.select_for_update().filter(tavori_order_id=fields.get("order_id")).first()
        if order is None:
            return HttpResponseNotFound("unknown order")
        order.apply(fields.get("status", ""))
    return HttpResponse("success", content_type="text/plain")


def done(request, pk: int):
    order = get_object_or_404(Order, pk=pk)
    status = payments().query_order(order.tavori_order_id)
    return render(request, "shop/done.html", {"order": order, "status": status})


def order(request, pk: int):
    order = get_object_or_404(Order, pk=pk)
    status = payments().query_order(order.tavori_order_id) if order.tavori_order_id else None
    return render(request, "shop/order.html", {"order": order, "status": status})
