"""Payments for one shop reference at the same moment, from threads and from
processes on PostgreSQL: two checkouts get one payable order, and two
payments paid at once are flagged "paid twice"."""

from __future__ import annotations

import threading
from collections import Counter
from decimal import Decimal

import pytest
from conftest import ROW_LOCKS, callback_fields, in_processes, signed
from django.db import connections

from tavori_pay_django import callbacks, start_payment
from tavori_pay_django.models import Payment, PaymentEvent

pytestmark = [pytest.mark.django_db(transaction=True),
              pytest.mark.skipif(not ROW_LOCKS, reason="concurrent writers need PostgreSQL or MariaDB")]
REFERENCES = 10


def at_once(calls: list) -> list:
    """Each call's result, the calls made on threads of their own released together."""
    results: list = [None] * len(calls)
    start = threading.Barrier(len(calls))

    def run(position: int) -> None:
        try:
            start.wait()
            results[position] = calls[position]()
        finally:
            connections.close_all()

    threads = [threading.Thread(target=run, args=(position,)) for position in range(len(calls))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return results


def pairs() -> list[tuple[Payment, Payment]]:
    return [tuple(Payment.objects.create(order_id=f"T-{reference}-{n}", reference=f"order-{reference}",
                                         amount=Decimal("10.00"), currency="CNY", pay_url="http://x/pay")
                  for n in (1, 2)) for reference in range(REFERENCES)]


def flagged_paid_twice() -> Counter[str]:
    return Counter(PaymentEvent.objects.filter(kind=PaymentEvent.REVIEW, stage="paid_twice")
                   .values_list("payment__reference", flat=True))


@pytest.mark.parametrize("hosts", ["threads", "processes"])
def test_two_payments_for_one_reference_paid_at_the_same_moment_are_flagged_paid_twice(hosts):
    payments = [payment for pair in pairs() for payment in pair]
    bodies = [signed(callback_fields(payment)) for payment in payments]
    if hosts == "threads":
        answers = at_once([lambda body=body, signature=signature: callbacks.receive(body, signature).status
                           for body, signature in bodies])
    else:
        answers = [int(status) for status in in_processes([{"receive": [body.decode(), signature]}
                                                             for body, signature in bodies])]
    assert answers == [200] * len(payments)
    assert Payment.objects.filter(status="paid").count() == len(payments)
    assert flagged_paid_twice() == {f"order-{reference}": 1 for reference in range(REFERENCES)}


@pytest.mark.parametrize("hosts", ["threads", "processes"])
def test_checkouts_for_one_reference_at_the_same_moment_get_one_payable_order(sandbox, hosts):
    references = [f"order-{reference}" for reference in range(REFERENCES // 2) for _ in range(3)]
    if hosts == "threads":
        ids = at_once([lambda reference=reference: start_payment(Decimal("10.00"), "CNY", reference=reference,
                                                                 recipient_account="artist").pk
                       for reference in references])
    else:
        ids = [int(pk) for pk in in_processes([{"start": reference} for reference in references])]
    assert {reference: len({pk for pk, same in zip(ids, references, strict=True) if same == reference})
            for reference in references} == dict.fromkeys(references, 1)
    assert Payment.objects.count() == len(sandbox.store.orders()) == len(set(references))
