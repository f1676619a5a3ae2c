"""The app on a database of its own: with a router sending its models to
another alias, every transaction, lock and delivery happens there."""

from __future__ import annotations

import io
import threading
from decimal import Decimal

import pytest
from conftest import callback_fields, post_callback, signed
from django.core.management import call_command
from django.db import connections, transaction

from tavori_pay_django import start_payment
from tavori_pay_django.models import Payment, PaymentEvent
from tavori_pay_django.moves import apply
from tavori_pay_django.reports import Report
from tavori_pay_django.signals import payment_status_changed
from tavori_pay_django.transitions import Status

pytestmark = pytest.mark.django_db(transaction=True, databases=["default", "payments"])


class PaymentsRouter:
    """Sends the app's models to the "payments" database."""

    def db_for_read(self, model, **hints):
        return "payments" if model._meta.app_label == "tavori_pay" else None

    db_for_write = db_for_read


@pytest.fixture
def routed(settings):
    settings.DATABASE_ROUTERS = [PaymentsRouter()]


def status_seen_by_another_connection(payment_id: int) -> str:
    seen = []

    def read():
        try:
            seen.append(Payment.objects.get(pk=payment_id).status)
        finally:
            connections.close_all()

    reader = threading.Thread(target=read)
    reader.start()
    reader.join()
    return seen[0]


@pytest.fixture
def deliveries():
    """Each delivery, with the payment's status as another connection sees
    it then: the move is committed before it is delivered."""
    seen = []

    def receive(sender, payment, new, **kwargs):
        seen.append((payment.order_id, new, status_seen_by_another_connection(payment.pk)))

    payment_status_changed.connect(receive, dispatch_uid="test routing")
    yield seen
    payment_status_changed.disconnect(dispatch_uid="test routing")


def test_callbacks_move_payments_on_their_database_and_deliver_after_its_commit(routed, client, deliveries):
    payment = Payment.objects.create(order_id="T-routed-1", reference="r", amount=Decimal("5.00"), currency="CNY")
    assert not Payment.objects.using("default").exists()
    assert post_callback(client, *signed(callback_fields(payment))).status_code == 200
    assert deliveries == [("T-routed-1", "paid", "paid")]
    assert PaymentEvent.objects.using("payments").get().delivered


def test_a_move_rolled_back_is_never_delivered(routed, deliveries):
    payment = Payment.objects.create(order_id="T-routed-2", reference="r", amount=Decimal("5.00"), currency="CNY")
    with pytest.raises(ZeroDivisionError), transaction.atomic(using="payments"):
        apply(Payment.objects.select_for_update().get(pk=payment.pk), Report(Status.PAID, "5.00"))
        raise ZeroDivisionError
    assert deliveries == [] and not PaymentEvent.objects.exists()


def test_reconciliation_locks_and_moves_payments_on_their_database(routed, sandbox, settings, deliveries):
    settings.TAVORI_PAY = {**settings.TAVORI_PAY, "PUBLIC_URL": "http://127.0.0.1:9"}  # callbacks are lost
    payment = start_payment(Decimal("7.00"), "CNY", reference="routed", recipient_account="artist")
    sandbox.pay(payment.order_id)
    out = io.StringIO()
    call_command("tavori_pay_reconcile", "--older-than", "0", stdout=out, stderr=io.StringIO())
    assert out.getvalue().startswith("Reconciled 1 payment: 1 moved")
    assert deliveries[0][:2] == (payment.order_id, "paid") and deliveries[0][2] != "pending"


def test_a_project_without_time_zones_takes_callbacks_and_reconciles(settings, sandbox, client):
    settings.USE_TZ = False
    settings.TAVORI_PAY = {**settings.TAVORI_PAY, "PUBLIC_URL": "http://127.0.0.1:9"}  # callbacks are lost
    paid, settled = (start_payment(Decimal("3.00"), "CNY", reference=f"naive-{n}", recipient_account="artist")
                     for n in range(2))
    sandbox.pay(paid.order_id)
    assert post_callback(client, *signed(callback_fields(paid))).status_code == 200
    sandbox.pay(settled.order_id)
    sandbox.settle(settled.order_id)
    out = io.StringIO()
    call_command("tavori_pay_reconcile", "--older-than", "0", stdout=out, stderr=io.StringIO())
    assert out.getvalue().startswith("Reconciled 2 payments: ")
    paid.refresh_from_db()
    settled.refresh_from_db()
    # the sandbox settles a paid order at once
    assert {paid.status, settled.status} <= {"paid", "settled"} and settled.status == "settled"
    assert paid.expires_at.tzinfo is None
