"""Migrations run on real rows: what an older release stored comes out as
this one reads it, and back again."""

from __future__ import annotations

import pytest
from django.db import connection
from django.db.migrations.executor import MigrationExecutor

pytestmark = pytest.mark.django_db(transaction=True)
BEFORE, CODES = ("tavori_pay", "0002_payment_event"), ("tavori_pay", "0003_event_receivers_and_codes")


def migrate(target: tuple[str, str]):
    """The app's models as they were at `target`, once migrated there."""
    executor = MigrationExecutor(connection)
    executor.migrate([target])
    executor.loader.build_graph()
    return executor.loader.project_state([target]).apps


def test_stored_sentences_become_codes_and_codes_sentences_again():
    apps = migrate(BEFORE)
    payment = apps.get_model("tavori_pay", "Payment").objects.create(
        order_id="T-old-1", reference="order-1", amount="10.00", currency="CNY", pay_url="http://x/pay")
    Callback, Event = apps.get_model("tavori_pay", "Callback"), apps.get_model("tavori_pay", "PaymentEvent")
    for number, outcome in enumerate(["amount mismatch", "bad signature", "unknown order", "applied"]):
        Callback.objects.create(digest=f"{number:064x}", body=b"{}", signature="s", outcome=outcome)
    for stage in ["amount mismatch", "paid after end", "paid twice", "settled amount"]:
        Event.objects.create(payment_id=payment.pk, kind="review", stage=stage)
    Event.objects.create(payment_id=payment.pk, kind="status", stage="paid", previous="pending")

    apps = migrate(CODES)
    Callback, Event = apps.get_model("tavori_pay", "Callback"), apps.get_model("tavori_pay", "PaymentEvent")
    assert sorted(Callback.objects.values_list("outcome", flat=True)) == [
        "amount_mismatch", "applied", "bad_signature", "unknown_order"]
    assert sorted(Event.objects.values_list("stage", flat=True)) == [
        "amount_mismatch", "paid", "paid_after_end", "paid_twice", "settled_amount"]
    assert Event.objects.get(kind="status").receivers is None  # for the receivers of the delivering process

    apps = migrate(BEFORE)
    assert sorted(apps.get_model("tavori_pay", "PaymentEvent").objects.values_list("stage", flat=True)) == [
        "amount mismatch", "paid", "paid after end", "paid twice", "settled amount"]
    assert "bad signature" in apps.get_model("tavori_pay", "Callback").objects.values_list("outcome", flat=True)
    executor = MigrationExecutor(connection)
    executor.migrate(executor.loader.graph.leaf_nodes("tavori_pay"))
