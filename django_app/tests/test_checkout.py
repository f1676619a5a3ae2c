"""start_payment: the amount the service receives is the Decimal the shop
passed, and no order the service creates can be unknown to the database."""

from __future__ import annotations

import http.client
import io
import sys
import urllib.error
from decimal import Decimal
from urllib.parse import urlsplit

import pytest
from conftest import COMMUNITY, ON_POSTGRES, ROW_LOCKS, SPONSOR, callback_fields, post_callback, signed
from django.contrib.auth.models import Group
from django.core.management import call_command
from django.db import OperationalError, connections, transaction
from django.test import RequestFactory
from hypothesis import HealthCheck, given
from hypothesis import settings as hypothesis_settings
from hypothesis import strategies as st

from tavori_pay_django import PaymentError, start_payment
from tavori_pay_django.models import Callback, Payment, PaymentEvent
from tavori_pay_sandbox import Account, Sandbox

pytestmark = pytest.mark.django_db(transaction=True)


def start(amount=Decimal("128.00"), **kwargs):
    kwargs.setdefault("reference", "order-1")
    kwargs.setdefault("recipient_account", "artist")
    return start_payment(amount, "CNY", **kwargs)


def test_the_order_is_created_and_kept_with_its_notify_url_naming_the_payment(sandbox):
    payment = start(return_url="/orders/1/done/")
    kept = sandbox.store.order(payment.order_id)
    assert (kept["amount"], kept["pay_mode"], kept["recipient_account"]) == ("128.00", "split", "artist")
    assert kept["notify_url"] == f"https://shop.example/payments/notify/?payment={payment.token}"
    assert kept["return_url"] == "https://shop.example/orders/1/done/"
    assert Payment.objects.get() == payment
    assert (payment.status, payment.pay_url) == ("pending", f"{sandbox.url}/pay/{payment.order_id}")


def test_without_a_public_url_the_request_gives_the_address(sandbox, settings):
    settings.TAVORI_PAY = {key: value for key, value in settings.TAVORI_PAY.items() if key != "PUBLIC_URL"}
    request = RequestFactory().post("/checkout/", HTTP_HOST="127.0.0.1:8123")
    payment = start(request=request, pay_mode="direct", recipient_account="")
    assert sandbox.store.order(payment.order_id)["notify_url"].startswith("http://127.0.0.1:8123/payments/notify/")
    with pytest.raises(Exception, match=r"start_payment needs request=, or TAVORI_PAY\['PUBLIC_URL'\] set"):
        start()


@pytest.mark.parametrize("amount, error, message", [
    (128.0, TypeError, "amount must be a Decimal, not float"),
    ("128.00", TypeError, "amount must be a Decimal, not str"),
    (True, TypeError, "amount must be a Decimal, not bool"),
    (Decimal("0"), ValueError, "amount must be a positive Decimal, not 0"),
    (Decimal("-1.00"), ValueError, "amount must be a positive Decimal, not -1.00"),
    (Decimal("NaN"), ValueError, "amount must be a positive Decimal, not NaN"),
    (Decimal("1.001"), ValueError, "amount 1.001 has more than two fraction digits"),
    (Decimal("12345678901234567.89"), ValueError, "amount must be below 1000000000000000"),
    (Decimal("999999999999999.99"), ValueError,
     "amount 999999999999999.99 cannot be sent exactly: the service takes it as a double, which holds "
     "1000000000000000.0"),
])
def test_amounts_that_cannot_be_sent_exactly_are_refused_before_anything_is_written(sandbox, amount, error, message):
    with pytest.raises(error, match=f"^{message.replace('(', '.').replace(')', '.')}"):
        start(amount)
    assert Payment.objects.count() == 0 and sandbox.store.orders() == []


@hypothesis_settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(cents=st.one_of(st.integers(1, 10**6), st.integers(1, 10**17 - 1)))
def test_every_amount_taken_reaches_the_service_as_exactly_that_decimal(sandbox, cents):
    amount = Decimal(cents).scaleb(-2)
    try:
        payment = start(amount)
    except ValueError as refusal:
        assert "cannot be sent exactly" in str(refusal) or "must be below" in str(refusal)
        assert Decimal(repr(float(amount))) != amount or amount >= 10**15
        return
    assert Decimal(sandbox.store.order(payment.order_id)["amount"]) == amount == payment.amount


@pytest.mark.parametrize("failure", ["refused", "unreachable", "cut off"])
def test_a_checkout_the_service_does_not_take_leaves_no_payable_row(sandbox, settings, monkeypatch, client,
                                                                   failure):
    if failure == "refused":
        settings.TAVORI_PAY = {**settings.TAVORI_PAY, "SPONSOR_KEYS": ["not-the-key"]}
        cause, reason = RuntimeError, "checkout failed: Sponsor key does not match the community key"
    elif failure == "unreachable":
        monkeypatch.setenv("TAVORI_PAY_BASE_URL", "http://127.0.0.1:9")
        cause, reason = urllib.error.URLError, "checkout failed: <urlopen error [Errno 111] Connection refused>"
    else:
        sandbox.fail_next_answers(1, "close")
        cause, reason = http.client.IncompleteRead, "checkout failed: IncompleteRead(17 bytes read, 83 more expected)"
    with pytest.raises(PaymentError) as raised:
        start()
    payment = Payment.objects.get()
    assert isinstance(raised.value.__cause__, cause) and raised.value.payment == payment
    assert str(raised.value) == payment.failure_reason == reason
    assert (payment.status, payment.order_id, payment.pay_url) == ("failed", None, "")
    body, signature = signed({"status": "paid", "amount": "128.00"})
    assert post_callback(client, body, signature).status_code == 400


class StopsTheDatabaseAfterCreating(Sandbox):
    """The service creates the order, then the shop's database goes down."""

    def __init__(self, cluster, **kwargs):
        super().__init__(**kwargs)
        self.cluster = cluster

    def create_order(self, form):
        created = super().create_order(form)
        self.cluster.stop()
        return created


@pytest.mark.skipif(not ON_POSTGRES, reason="stops the PostgreSQL server")
def test_an_order_whose_id_could_not_be_saved_is_found_by_its_callback(request, monkeypatch, client, no_proxy):
    cluster = request.getfixturevalue("postgres")
    with StopsTheDatabaseAfterCreating(cluster, accounts=[Account(COMMUNITY, SPONSOR)],
                                       log=lambda line: None) as sandbox:
        monkeypatch.setenv("TAVORI_PAY_BASE_URL", sandbox.url)
        try:
            with pytest.raises(OperationalError):
                start()
        finally:
            cluster.start()
            connections.close_all()
        [order] = sandbox.store.orders()
        payment = Payment.objects.get()
        assert payment.order_id is None
        # The service's callback comes to the notify URL it was given.
        notify = urlsplit(order["notify_url"])
        body, signature = signed({"status": "paid", "order_id": order["order_id"], "amount": order["amount"]})
        assert post_callback(client, body, signature, query=f"?{notify.query}").status_code == 200
    payment.refresh_from_db()
    assert (payment.order_id, payment.status) == (order["order_id"], "paid")


class ShopFailure(Exception):
    """What the shop's view raises after start_payment."""


def test_a_payment_started_in_a_transaction_that_rolls_back_is_kept_paid_and_flagged_without_its_order(
        sandbox, client, admin_client):
    if not ROW_LOCKS:  # SQLite's open transaction holds the one write lock: refused before anything is asked
        with pytest.raises(transaction.TransactionManagementError, match="non_atomic_requests"), transaction.atomic():
            start()
        assert Payment.objects.count() == 0 and sandbox.store.orders() == []
        return
    with pytest.raises(ShopFailure), transaction.atomic():  # as under ATOMIC_REQUESTS
        order = Group.objects.create(name="order 1")
        payment = start(order=order)
        raise ShopFailure("the shop's order could not be saved")
    assert Payment.objects.get(pk=payment.pk).order_id == payment.order_id  # the row outlived the rollback
    assert post_callback(client, *signed(callback_fields(payment))).status_code == 200
    payment.refresh_from_db()
    assert (payment.status, payment.order, payment.needs_review) == ("paid", None, True)
    review = PaymentEvent.objects.get(payment=payment, kind=PaymentEvent.REVIEW)
    assert review.stage == "order_missing" and f"money taken for auth.group {order.pk}, an order the shop does " \
        "not have" in review.reason and "refund the payment at the service" in review.reason
    page = admin_client.get("/admin/tavori_pay/paymentshealth/").content.decode()
    assert "Paid for an order the shop does not have" in page


def test_a_signed_callback_for_an_order_the_shop_does_not_know_is_kept_and_shown_to_staff(client, admin_client):
    body, signature = signed({"status": "paid", "order_id": "T-unknown", "amount": "12.00"})
    assert post_callback(client, body, signature).status_code == 404
    for status in ("failed", "expired"):  # no money taken: nothing to place
        assert post_callback(client, *signed({"status": status, "order_id": "T-unknown", "amount": "1.00"})
                             ).status_code == 404
    call_command("tavori_pay_prune", "--older-than", "0", stdout=io.StringIO())
    assert list(Callback.objects.values_list("status", flat=True)) == ["paid"]
    page = admin_client.get("/admin/tavori_pay/callback/?money=unplaced").content.decode()
    assert "1 signed callback reported money taken for an order the shop does not know" in page
    assert "T-unknown" in page


def test_a_second_checkout_for_the_same_reference_gets_the_payment_still_waiting(sandbox):
    first = start()
    assert start() == first and len(sandbox.store.orders()) == 1
    assert start(Decimal("99.00")) != first  # another amount is another order
    sandbox.expire(first.order_id)  # the service can no longer take it: a new order
    second = start()
    first.refresh_from_db()
    assert second != first and first.status == "expired"
    assert start(reuse_pending=False) != second  # a fresh order when the shop asks for one


def failed_checkout_report(request, debug: bool) -> str:
    """The debug page (DEBUG on) or the error report mailed to the admins
    (DEBUG off) of a checkout whose service is unreachable."""
    from django.views.debug import ExceptionReporter

    try:
        start(reference=f"debug-{debug}", request=request)
    except PaymentError:
        reporter = ExceptionReporter(request, *sys.exc_info(), is_email=not debug)
        return reporter.get_traceback_html() + reporter.get_traceback_text()
    raise AssertionError("the checkout did not fail")


@pytest.mark.parametrize("debug", [True, False])
def test_a_failed_checkout_shows_no_key_on_the_debug_page_or_in_error_reports(sandbox, settings, monkeypatch, rf,
                                                                              debug):
    monkeypatch.setenv("TAVORI_PAY_BASE_URL", "http://127.0.0.1:9")
    settings.DEBUG = debug
    report = failed_checkout_report(rf.post("/checkout/", {"product": "poster"}), debug)
    assert "Connection refused" in report
    assert SPONSOR not in report and "sponsor_key=" not in report


@pytest.mark.parametrize("currency", ["XXXX", "cny", "USD ", "C", "\uff23NY", None])
def test_a_currency_that_is_not_three_upper_case_letters_is_refused_before_anything_is_written(sandbox, currency):
    with pytest.raises(ValueError, match=r"^currency must be three upper-case letters \(ISO 4217, such as 'CNY'\)"):
        start_payment(Decimal("1.00"), currency, reference="r", recipient_account="artist")
    assert Payment.objects.count() == 0 and sandbox.store.orders() == []
