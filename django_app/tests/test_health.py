"""The admin's "Payments health" page: what a shop owner and the person on
call ask every day, each figure linking to the list behind it, in a
bounded number of queries however many payments there are."""

from __future__ import annotations

import datetime as dt
import html
import io
import re
import time
from decimal import Decimal

import pytest
from conftest import callback_fields, post_callback, signed
from django.contrib.auth.models import Permission, User
from django.core.management import CommandError, call_command
from django.db import connection
from django.test.utils import CaptureQueriesContext
from django.utils import timezone

from tavori_pay_django.models import Callback, Payment, PaymentEvent

pytestmark = pytest.mark.django_db(transaction=True)
PAGE = "/admin/tavori_pay/paymentshealth/"


def payments(count: int, days_ago: int = 0, **fields) -> list[Payment]:
    made = Payment.objects.bulk_create(
        Payment(reference=f"r-{days_ago}-{n}", amount=Decimal("10.00"), currency=fields.get("currency", "CNY"),
                status=fields.get("status", "paid"), needs_review=fields.get("needs_review", False))
        for n in range(count))
    Payment.objects.filter(pk__in=[p.pk for p in made]).update(
        created_at=timezone.now() - dt.timedelta(days=days_ago))
    return made


def links(page: str) -> dict[str, str]:
    """Each figure's text, by the list it links to."""
    return {html.unescape(href): text for href, text in re.findall(r'<a href="([^"]+)">([^<]+)</a>', page)}


def test_an_empty_shop_is_shown_as_such(admin_client):
    assert 'href="/admin/tavori_pay/paymentshealth/"' in admin_client.get("/admin/").content.decode()
    page = admin_client.get(PAGE).content.decode()
    assert "No payments in the last 7 days." in page and "No reconciliation has run" in page
    assert 'aria-label="payments per day by status"' in page


def test_each_figure_is_counted_and_links_to_its_list(admin_client, client, sandbox):
    payments(3)
    payments(2, status="pending", currency="USD")
    payments(4, days_ago=3)
    payments(1, days_ago=30)  # outside the week
    flagged = payments(1, status="paid", needs_review=True)[0]
    PaymentEvent.objects.create(payment=flagged, kind="status", stage="paid", previous="pending",
                                receivers="shop.fulfil\nshop.mail", delivered_to="shop.fulfil")
    post_callback(client, *signed(callback_fields(flagged), key="forged"))
    client.post("/payments/notify/", b"x" * 20000, content_type="application/json")  # over the size limit
    Payment.objects.filter(pk=flagged.pk).update(order_id="T-unknown")  # the service has no such order
    with pytest.raises(CommandError, match="refused or could not answer 1 query"):
        call_command("tavori_pay_reconcile", "--older-than", "0", stdout=io.StringIO(), stderr=io.StringIO())

    page = admin_client.get(PAGE).content.decode()
    figures = links(page)
    today = timezone.localdate()
    paid_today = next(url for url in figures if "status__exact=paid&currency__exact=CNY" in url
                      and str(today) in url)
    assert figures[paid_today] == "4"  # 3 and the flagged one
    assert '<td class="number">40.00</td>' in page  # money with its two decimals
    answer = admin_client.get(paid_today).content.decode()
    assert "4 payments" in answer  # the list behind the figure holds as many
    assert figures["/admin/tavori_pay/payment/?needs_review__exact=1"] == "1"
    assert figures["/admin/tavori_pay/paymentevent/?delivered=no"] == "1"
    assert "waiting for shop.mail" in page
    refused = {url.split("outcome__exact=")[1].split("&")[0]: count for url, count in figures.items()
               if "/callback/?outcome__exact=" in url}
    assert refused == {"bad_signature": "1", "malformed": "0", "unknown_order": "0", "too_large": "1"}
    assert Callback.objects.get(outcome="too_large").body == b""
    assert "1 asked about, 0 moved" in page and ">1 refused</span>" in page
    chart_days = re.findall(r"<title>(\d{4}-\d\d-\d\d): (\d+) (\w+)</title>", page)
    assert (str(today - dt.timedelta(days=3)), "4", "paid") in chart_days


def test_the_queries_do_not_grow_with_the_payments(admin_client):
    payments(1)
    with CaptureQueriesContext(connection) as few:
        admin_client.get(PAGE)
    for days_ago in range(7):
        payments(300, days_ago=days_ago)
        payments(20, days_ago=days_ago, status="failed", currency="EUR")
    with CaptureQueriesContext(connection) as many:
        assert admin_client.get(PAGE).status_code == 200
    assert len(many.captured_queries) == len(few.captured_queries) <= 15


def test_only_staff_who_may_view_payments_see_it(client):
    staff = User.objects.create_user("clerk", password="x", is_staff=True)
    client.force_login(staff)
    assert client.get(PAGE).status_code == 403
    staff.user_permissions.add(Permission.objects.get(codename="view_payment"))
    assert client.get(PAGE).status_code == 200


def test_a_receiver_slow_enough_to_hold_a_worker_is_named_whether_or_not_it_returned(admin_client, client, connect,
                                                                                      monkeypatch):
    from tavori_pay_django.delivery import slow_receivers

    monkeypatch.setattr(slow_receivers, "SLOW_AFTER", 0.05)
    payment = payments(1, status="pending")[0]
    Payment.objects.filter(pk=payment.pk).update(order_id="T-slow")
    payment.refresh_from_db()

    @connect
    def send_to_warehouse(sender, payment, new, **kwargs):
        time.sleep(0.1)  # the warehouse answers slowly
        if new == "settled":
            raise ConnectionError("the warehouse hung up")

    for status in ("paid", "settled"):
        assert post_callback(client, *signed(callback_fields(payment, status, settle_amount="7.00"))
                             ).status_code == 200
    page = admin_client.get(PAGE).content.decode()
    assert "send_to_warehouse took over 0.05 s with 2 events" in page
    assert "When to move delivery to the task backend" in page
