"""The status view a buyer's page polls, and the snippet that polls it: the
payment's state by its unguessable token, the service asked while it is
pending and at most every few seconds however often the page asks."""

from __future__ import annotations

import io
import json
import uuid
from decimal import Decimal

import pytest
from django.core.management import call_command
from django.template import engines

from tavori_pay_django import start_payment
from tavori_pay_django.models import Payment

pytestmark = pytest.mark.django_db(transaction=True)


@pytest.fixture
def payment(sandbox):
    return start_payment(Decimal("30.00"), "CNY", reference="order-1", recipient_account="artist")


def status_of(client, token) -> tuple[int, dict]:
    answer = client.get(f"/payments/status/{token}/")
    assert answer["Cache-Control"].startswith("max-age=0") and "no-store" in answer["Cache-Control"]
    return answer.status_code, json.loads(answer.content)


def test_a_pending_payment_is_asked_about_at_most_every_ten_seconds(client, sandbox, payment, monkeypatch):
    asked = []
    answer = sandbox.order_status
    monkeypatch.setattr(sandbox, "order_status", lambda query: asked.append(query) or answer(query))
    assert status_of(client, payment.token) == (200, {"status": "pending", "amount": "30.00", "currency": "CNY",
                                                      "taken": True})
    sandbox.pay(payment.order_id)  # its callback goes to https://shop.example: lost
    assert status_of(client, payment.token)[1]["status"] == "pending"  # asked a moment ago
    Payment.objects.filter(pk=payment.pk).update(reconciled_at=None)  # as ten seconds later
    moved = status_of(client, payment.token)[1]["status"]
    assert moved in ("paid", "settled") and moved == Payment.objects.get().status  # settled at once here
    assert status_of(client, payment.token)[1]["status"] == moved  # no longer pending: not asked again
    assert len(asked) == 2


def test_unknown_tokens_and_other_methods_are_refused(client, payment):
    assert status_of(client, uuid.uuid4()) == (404, {"error": "no such payment"})
    assert client.get("/payments/status/not-a-token/").status_code == 404
    assert client.post(f"/payments/status/{payment.token}/").status_code == 405


def test_the_page_keeps_asking_until_the_shop_has_taken_the_payments_events(client, payment, connect):
    from conftest import callback_fields, signed

    from tavori_pay_django import callbacks
    from tavori_pay_django.delivery import after_commit

    connect(lambda sender, payment, new, **kwargs: None)
    with after_commit.kept():  # answered; the receivers run later (a task backend, a worker)
        callbacks.receive(*signed(callback_fields(payment, "paid")))
    payment.refresh_from_db()
    assert status_of(client, payment.token)[1]["taken"] is False
    snippet = engines["django"].from_string('{% include "tavori_pay_django/status.html" with payment=payment %}')
    assert 'data-taken="false"' in snippet.render({"payment": payment}) and "<script>" in snippet.render(
        {"payment": payment})  # paid, and still asking
    call_command("tavori_pay_dispatch", stdout=io.StringIO())
    assert status_of(client, payment.token)[1] == {"status": "paid", "amount": "30.00", "currency": "CNY",
                                                   "taken": True}
    assert "<script" not in snippet.render({"payment": Payment.objects.get(pk=payment.pk)})


def test_the_snippet_polls_only_while_the_payment_is_pending(payment):
    snippet = engines["django"].from_string('{% include "tavori_pay_django/status.html" with payment=payment %}')
    pending = snippet.render({"payment": payment})
    assert f'"/payments/status/{payment.token}/"' in pending and "<script>" in pending
    assert '<span class="tavori-pay-status" data-status="pending" data-taken="true">pending</span>' in pending
    payment.status = "paid"
    paid = snippet.render({"payment": payment, "csp_nonce": "n0nce"})
    assert "<script" not in paid and ">paid</span>" in paid
    payment.status = "pending"
    assert '<script nonce="n0nce">' in snippet.render({"payment": payment, "csp_nonce": "n0nce"})
