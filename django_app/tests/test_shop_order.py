"""The shop's own order a payment is for: kept with the payment by a
generic relation, found from either side, shown in the shop's admin, and
never taking the payment with it when the order is deleted."""

from __future__ import annotations

from decimal import Decimal

import pytest
from asgiref.sync import async_to_sync
from django.contrib.auth.models import Group
from django.contrib.contenttypes.models import ContentType

from tavori_pay_django import start_payment
from tavori_pay_django.models import Payment

pytestmark = pytest.mark.django_db(transaction=True)


def start(order, reference="order-1", **kwargs):
    return start_payment(Decimal("20.00"), "CNY", reference=reference, recipient_account="artist", order=order,
                         **kwargs)


def test_a_payment_keeps_its_order_and_the_order_finds_its_payments(sandbox):
    order, other = Group.objects.create(name="order 1"), Group.objects.create(name="order 2")
    payment = start(order)
    assert Payment.objects.get(pk=payment.pk).order == order
    assert start(order) == payment  # a second checkout of the same order reuses the waiting payment
    assert start(other) != payment  # the same reference for another order does not
    again = start(order, reuse_pending=False)
    assert list(Payment.objects.for_order(order)) == [again, payment]
    assert Payment.objects.for_order(other).count() == 1

    async def newest():
        return await Payment.objects.for_order(order).afirst()

    ContentType.objects.clear_cache()  # as in a fresh process: async code finds them all the same
    assert async_to_sync(newest)() == again  # its queries on this thread's connection, as in a view
    unlinked = start(None, reference="order-2")
    assert (unlinked.order, Payment.objects.get(pk=unlinked.pk).order) == (None, None)

    order.delete()  # the money record stays
    assert Payment.objects.get(pk=payment.pk).order is None
    assert Payment.objects.count() == 4


def test_an_order_that_cannot_be_kept_is_refused_before_anything_is_written(sandbox):
    for order in (Group(name="unsaved"), "order-1", Decimal("1")):
        with pytest.raises(ValueError, match="order must be a saved model instance"):
            start(order)
    assert not Payment.objects.exists() and sandbox.store.orders() == []


def test_the_shops_order_admin_shows_its_payments_and_a_payment_links_its_order(sandbox, admin_client, settings):
    settings.ROOT_URLCONF = "shop_admin"
    order = Group.objects.create(name="order 1")
    payment = start(order)
    page = admin_client.get(f"/shop-admin/auth/group/{order.pk}/change/").content.decode()
    assert payment.order_id in page and "20.00" in page
    assert f'href="/shop-admin/tavori_pay/payment/{payment.pk}/change/"' in page
    answer = admin_client.post(f"/shop-admin/auth/group/{order.pk}/change/", {
        "name": "order 1", "tavori_pay-payment-order_type-order_key-TOTAL_FORMS": "1",
        "tavori_pay-payment-order_type-order_key-INITIAL_FORMS": "1",
        "tavori_pay-payment-order_type-order_key-0-id": str(payment.pk),
        "tavori_pay-payment-order_type-order_key-0-amount": "0.01"})
    assert answer.status_code == 302 and Payment.objects.get().amount == Decimal("20.00")  # shown, never changed
    page = admin_client.get(f"/shop-admin/tavori_pay/payment/{payment.pk}/change/").content.decode()
    assert f'<a href="/shop-admin/auth/group/{order.pk}/change/">order 1</a>' in page
