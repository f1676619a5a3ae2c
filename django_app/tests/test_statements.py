"""The statements compiled once for the notify path read and write each
field as the ORM does, on every database and with or without time zones."""

from __future__ import annotations

import datetime as dt
from decimal import Decimal

import pytest
from django.contrib.contenttypes.models import ContentType
from django.db import router, transaction
from django.utils import timezone

from tavori_pay_django import db
from tavori_pay_django.models import Payment, PaymentEvent

pytestmark = pytest.mark.django_db(transaction=True)


def fields_of(instance) -> dict:
    return {field.attname: getattr(instance, field.attname) for field in type(instance)._meta.concrete_fields}


@pytest.mark.parametrize("use_tz", [True, False])
def test_rows_read_and_written_as_the_orm_reads_and_writes_them(settings, use_tz):
    settings.USE_TZ = use_tz
    alias = router.db_for_write(Payment)
    payment = Payment.objects.create(
        order_id="T-plain-1", reference="order-1", amount=Decimal("1234567.89"), currency="CNY",
        recipient_account="artist", pay_url="http://x/pay", order_type=ContentType.objects.get_for_model(Payment),
        order_key="42", expires_at=timezone.now().replace(microsecond=123456))
    with transaction.atomic(using=alias):
        locked = db.operations(alias).locked_payment(payment.order_id)
    assert fields_of(locked) == fields_of(Payment.objects.get(pk=payment.pk))
    assert locked._state.db == alias and not locked._state.adding

    before = locked.updated_at
    locked.status, locked.settled_amount, locked.needs_review = "settled", Decimal("0.01"), True
    locked.expires_at = locked.expires_at + dt.timedelta(days=1)
    db.operations(alias).save(locked, ["status", "settled_amount", "needs_review", "expires_at", "updated_at"])
    assert fields_of(Payment.objects.get(pk=payment.pk)) == fields_of(locked) and locked.updated_at > before

    events = [PaymentEvent(payment=locked, kind=PaymentEvent.STATUS, stage=stage, previous="pending",
                           receivers="shop.fulfil\nshop.mail") for stage in ("paid", "settled", "paid")]
    assert db.operations(alias).insert_ignoring_conflicts(events) == 2  # the second "paid" is refused
    written = list(PaymentEvent.objects.order_by("id"))
    assert [(event.stage, event.receivers, event.created_at is not None) for event in written] == [
        ("paid", "shop.fulfil\nshop.mail", True), ("settled", "shop.fulfil\nshop.mail", True)]

    delivered_at = timezone.now()
    db.operations(alias).update(PaymentEvent, [event.pk for event in written],
                                {"delivered_to": "shop.fulfil", "attempts": 3, "delivered_at": delivered_at})
    assert {(event.delivered_to, event.attempts, event.delivered_at) for event in PaymentEvent.objects.all()} == {
        ("shop.fulfil", 3, delivered_at)}
