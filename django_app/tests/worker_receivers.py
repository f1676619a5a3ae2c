"""A receiver the task worker's project connects while loading, as a shop's
does in its AppConfig.ready(): it writes one line per event it takes to the
file TAVORI_TEST_RECEIPTS names."""

from __future__ import annotations

import os

from django.apps import AppConfig

RECEIVER = "record_receipt"


def record_receipt(sender, payment, new, event, **kwargs):
    with open(os.environ["TAVORI_TEST_RECEIPTS"], "a") as receipts:  # one write per line: whole lines
        receipts.write(f"{payment.order_id} {new} {event.id} {os.getpid()}\n")


class WorkerReceiversConfig(AppConfig):
    name = "worker_receivers"

    def ready(self) -> None:
        from tavori_pay_django.signals import payment_status_changed

        payment_status_changed.connect(record_receipt, dispatch_uid=RECEIVER)
