"""manage.py tavori_pay_report: a day's payments beside the service's
answer for each, money as text, differences flagged, totals by status and
currency, and a non-zero exit when anything differs; nothing is moved."""

from __future__ import annotations

import csv
import datetime as dt
import io
import json
from decimal import Decimal

import pytest
from django.core.management import CommandError, call_command
from django.utils import timezone

from tavori_pay_django import PaymentError, refresh_payment, start_payment
from tavori_pay_django.models import Payment

pytestmark = pytest.mark.django_db(transaction=True)


@pytest.fixture
def day(sandbox):
    """Today's payments: one the shop knows is settled, one paid at the
    service whose callback was lost, one whose checkout failed, and one of
    yesterday, which the report leaves out."""
    known = start_payment(Decimal("30.00"), "CNY", reference="order-1", recipient_account="artist")
    sandbox.pay(known.order_id)
    sandbox.settle(known.order_id)
    refresh_payment(known, at_most_every=0)
    lost = start_payment(Decimal("12.50"), "USD", reference="=HYPERLINK(\"http://x\")", recipient_account="a")
    sandbox.pay(lost.order_id)
    sandbox.settle(lost.order_id)
    sandbox.fail_next_answers(1)
    with pytest.raises(PaymentError):
        start_payment(Decimal("7.00"), "CNY", reference="order-3", recipient_account="artist")
    old = start_payment(Decimal("1.00"), "CNY", reference="order-4", recipient_account="artist")
    Payment.objects.filter(pk=old.pk).update(created_at=timezone.now() - dt.timedelta(days=1))
    return timezone.localdate()


def report(*arguments: str) -> tuple[str, str | None]:
    out = io.StringIO()
    try:
        call_command("tavori_pay_report", *arguments, stdout=out, stderr=io.StringIO())
    except CommandError as error:
        return out.getvalue(), str(error)
    return out.getvalue(), None


def test_a_days_csv_flags_what_differs_and_totals_it(day, tmp_path):
    path = tmp_path / "day.csv"
    _, failure = report("--date", day.isoformat(), "--output", str(path))
    assert failure == f"1 payment of {day} differs from the service"
    with open(path, newline="", encoding="utf-8") as file:
        rows = list(csv.reader(file))
    blank = rows.index([])
    header, lines, totals = rows[0], [dict(zip(rows[0], row, strict=True)) for row in rows[1:blank]], rows[blank + 1:]
    assert header[:3] == ["order_id", "reference", "created_at"]
    assert [(line["reference"], line["amount"], line["currency"], line["status"], line["service_status"],
             line["difference"]) for line in lines] == [
        ("order-1", "30.00", "CNY", "settled", "settled", ""),
        ("'=HYPERLINK(\"http://x\")", "12.50", "USD", "pending", "settled",
         "status: pending here, settled at the service"),
        ("order-3", "7.00", "CNY", "failed", "", "")]  # quoted: a spreadsheet runs no formula
    assert lines[0]["settled_amount"] == lines[0]["service_settled_amount"] != ""
    assert totals == [["status", "currency", "payments", "amount", "differing"],
                      ["failed", "CNY", "1", "7.00", "0"], ["pending", "USD", "1", "12.50", "1"],
                      ["settled", "CNY", "1", "30.00", "0"]]
    assert Payment.objects.get(reference__startswith="=").status == "pending"  # a report moves nothing


def test_json_to_standard_output_and_a_day_without_differences_exits_zero(day, sandbox):
    out, failure = report("--date", day.isoformat(), "--format", "json", "--workers", "4")
    document = json.loads(out)
    assert (document["date"], document["differing"], len(document["payments"])) == (day.isoformat(), 1, 3)
    assert {total["amount"] for total in document["totals"]} == {"7.00", "12.50", "30.00"}
    assert failure is not None
    yesterday = (day - dt.timedelta(days=1)).isoformat()
    sandbox.pay(Payment.objects.get(reference="order-4").order_id)  # not yet known here: it differs
    sandbox.settle(Payment.objects.get(reference="order-4").order_id)
    assert report("--date", yesterday)[1] == f"1 payment of {yesterday} differs from the service"
    refresh_payment(Payment.objects.get(reference="order-4"), at_most_every=0)
    out, failure = report("--date", yesterday)
    assert failure is None and out.count("\r\n") == 5  # header, one payment, blank, header, one total


@pytest.mark.parametrize("arguments, message", [
    (["--date", "2026-13-01"], "Error: argument --date: takes a day as YYYY-MM-DD, not '2026-13-01'"),
    (["--date", "2026-01-01", "--workers", "0"], "--workers must be at least 1"),
    (["--date", "2026-01-01", "--output", "/nonexistent/day.csv"], "cannot write /nonexistent/day.csv: No such "
                                                                   "file or directory"),
])
def test_bad_arguments_are_refused_clearly(arguments, message):
    assert report(*arguments)[1] == message
