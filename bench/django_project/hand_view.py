"""What a careful developer writes by hand: verify the signature on the raw
body, then move the payment under its row lock and call the shop's receiver
after the commit. No stored callback, no amount check, no event that
outlives a failure."""

import receivers
import tavori_pay
from django.conf import settings
from django.db import transaction
from django.http import HttpResponse, HttpResponseBadRequest
from django.views.decorators.csrf import csrf_exempt
from django.views.decorators.http import require_POST
from tavori_pay_django.models import Payment


@csrf_exempt
@require_POST
def notify(request):
    client = tavori_pay.Client(settings.TAVORI_PAY["COMMUNITY_KEY"], settings.TAVORI_PAY["SPONSOR_KEYS"][0])
    try:
        fields = client.verify_callback(request.body.decode(), request.headers.get("X-Tavori-Signature", ""))
    except (RuntimeError, UnicodeDecodeError):
        return HttpResponseBadRequest("invalid callback")
    with transaction.atomic():
        payment = Payment.objects.select_for_update().get(order_id=fields["order_id"])
        moved = payment.status == "pending" and fields["status"] == "paid"
        if moved:
            payment.status = "paid"
            payment.save(update_fields=["status", "updated_at"])
    if moved:
        receivers.fulfil(Payment, payment, "pending", "paid")
    return HttpResponse("success")
