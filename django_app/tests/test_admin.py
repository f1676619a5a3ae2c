"""The admin: payments found by filter and search, their callbacks shown,
nothing the service decided editable, no key anywhere."""

from __future__ import annotations

from decimal import Decimal

import pytest
from conftest import SPONSOR, callback_fields, post_callback, signed
from django.contrib.auth.models import Permission

from tavori_pay_django import start_payment
from tavori_pay_django.admin import PaymentAdmin
from tavori_pay_django.callbacks import receive
from tavori_pay_django.models import Payment

pytestmark = pytest.mark.django_db(transaction=True)


def inline_forms(**counts: int) -> dict[str, str]:
    """The management forms of the change page's inlines, as a browser posts them."""
    return {f"{prefix}-{name}": value for prefix, count in counts.items() for name, value in (
        ("TOTAL_FORMS", str(count)), ("INITIAL_FORMS", str(count)), ("MIN_NUM_FORMS", "0"),
        ("MAX_NUM_FORMS", "1000"))}


@pytest.fixture
def paid(client):
    payment = Payment.objects.create(order_id="T-admin-1", reference="shop-42", amount=Decimal("45.50"),
                                     currency="CNY", recipient_account="artist", pay_url="http://x/pay")
    post_callback(client, *signed(callback_fields(payment)))
    Payment.objects.create(order_id="T-admin-2", reference="shop-43", amount=Decimal("9.99"), currency="USD")
    return payment


def test_payments_are_listed_filtered_and_searched(admin_client, paid):
    page = admin_client.get("/admin/tavori_pay/payment/").content.decode()
    assert "T-admin-1" in page and "T-admin-2" in page
    for query in ("?status__exact=paid", "?currency__exact=CNY", "?q=shop-42", "?q=T-admin-1"):
        page = admin_client.get(f"/admin/tavori_pay/payment/{query}").content.decode()
        assert "T-admin-1" in page and "T-admin-2" not in page, query


def test_a_payment_shows_its_callbacks_and_keeps_its_money_fields(admin_client, paid):
    url = f"/admin/tavori_pay/payment/{paid.pk}/change/"
    page = admin_client.get(url).content.decode()
    assert "&quot;status&quot;: &quot;paid&quot;" in page and "applied" in page
    assert 'name="amount"' not in page and 'name="status"' not in page and 'name="needs_review"' in page
    answer = admin_client.post(url, {"amount": "0.01", "status": "refunded", "needs_review": "on",
                                     **inline_forms(callbacks=1, events=1)})
    assert answer.status_code == 302
    paid.refresh_from_db()
    assert (paid.amount, paid.status, paid.needs_review) == (Decimal("45.50"), "paid", True)


def test_no_key_appears_on_any_admin_page(admin_client, paid, settings):
    settings.TAVORI_PAY = {**settings.TAVORI_PAY, "COMMUNITY_KEY": "shop-community"}
    callback = paid.callbacks.get()
    for url in ("/admin/tavori_pay/payment/", f"/admin/tavori_pay/payment/{paid.pk}/change/",
                "/admin/tavori_pay/callback/", f"/admin/tavori_pay/callback/{callback.pk}/change/"):
        page = admin_client.get(url).content.decode()
        assert SPONSOR not in page and "shop-community" not in page, url


def test_the_admin_action_asks_the_service_about_chosen_payments(admin_client, sandbox, settings):
    settings.TAVORI_PAY = {**settings.TAVORI_PAY, "PUBLIC_URL": "http://127.0.0.1:9"}  # callbacks are lost
    payment = start_payment(Decimal("12.00"), "CNY", reference="lost", recipient_account="artist")
    sandbox.pay(payment.order_id)
    answer = admin_client.post("/admin/tavori_pay/payment/", {"action": "reconcile_selected",
                                                               "_selected_action": [payment.pk]}, follow=True)
    assert "Reconciled 1 payment: 1 moved" in answer.content.decode()
    payment.refresh_from_db()
    assert payment.status in ("paid", "settled")


def test_saving_the_change_form_never_undoes_a_callback_applied_meanwhile(admin_client, monkeypatch):
    payment = Payment.objects.create(order_id="T-admin-3", reference="shop-44", amount=Decimal("10.00"),
                                     currency="CNY", pay_url="http://x/pay")
    read = PaymentAdmin.get_object

    def read_then_callback(self, request, object_id, from_field=None):
        found = read(self, request, object_id, from_field)
        if request.method == "POST":  # the callback lands between the form's read and its save
            receive(*signed(callback_fields(payment)))
        return found

    monkeypatch.setattr(PaymentAdmin, "get_object", read_then_callback)
    answer = admin_client.post(f"/admin/tavori_pay/payment/{payment.pk}/change/",
                               {"needs_review": "on", **inline_forms(callbacks=0, events=0)})
    assert answer.status_code == 302
    payment.refresh_from_db()
    assert (payment.status, payment.needs_review) == ("paid", True)


def test_asking_the_service_needs_the_change_permission(client, django_user_model, sandbox, settings):
    settings.TAVORI_PAY = {**settings.TAVORI_PAY, "PUBLIC_URL": "http://127.0.0.1:9"}
    payment = start_payment(Decimal("12.00"), "CNY", reference="viewer", recipient_account="artist")
    sandbox.pay(payment.order_id)
    viewer = django_user_model.objects.create_user("viewer", password="pw", is_staff=True)
    viewer.user_permissions.add(Permission.objects.get(codename="view_payment"))
    client.force_login(viewer)
    listing = client.get("/admin/tavori_pay/payment/").content.decode()
    assert "T-" in listing or payment.order_id in listing
    assert "reconcile_selected" not in listing
    client.post("/admin/tavori_pay/payment/", {"action": "reconcile_selected", "_selected_action": [payment.pk]})
    payment.refresh_from_db()
    assert payment.status == "pending"
