"""A day's callbacks exported from the shop and replayed into a shop with
`tavori-sandbox replay`: posted in their order, signed as the service
signs, a forged one forged again, and every answer shown."""

from __future__ import annotations

import datetime as dt
import io
import json
import subprocess
import sys
from decimal import Decimal

import pytest
from conftest import COMMUNITY, SPONSOR, callback_fields, post_callback, signed
from django.core.management import call_command
from django.utils import timezone

from tavori_pay_django.models import Callback, Payment

pytestmark = pytest.mark.django_db(transaction=True)


def export(*arguments: str) -> list[dict]:
    out = io.StringIO()
    call_command("tavori_pay_export_callbacks", *arguments, stdout=out, stderr=io.StringIO())
    return [json.loads(line) for line in out.getvalue().splitlines()]


def replay(path, to: str, *arguments: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", "tavori_pay_sandbox", "replay", str(path), "--to", to, *arguments],
                          capture_output=True, text=True, timeout=60)


def test_exported_callbacks_replay_into_a_shop_as_they_came_and_none_unverified_is_ever_signed(
        client, live_server, tmp_path, no_proxy):
    payment = Payment.objects.create(order_id="T-replay-1", reference="order-1", amount=Decimal("25.00"),
                                     currency="CNY", recipient_account="artist", pay_url="http://x/pay")
    post_callback(client, *signed(callback_fields(payment)), query=f"?payment={payment.token}")
    post_callback(client, *signed(callback_fields(payment, "settled"), key="forged"))
    post_callback(client, b"\xff not json", "bad")
    assert [record["status"] for record in export()] == ["paid"]  # only what verified, unless asked
    path = tmp_path / "callbacks.jsonl"
    call_command("tavori_pay_export_callbacks", "--output", str(path), "--include-unverified", stderr=io.StringIO())
    records = [json.loads(line) for line in path.read_text().splitlines()]
    assert [(r["status"], r["outcome"], r["signature_ok"], r["payment"], r.get("unverified")) for r in records] == [
        ("paid", "applied", True, str(payment.token), None), ("", "bad_signature", False, None, True),
        ("", "bad_signature", False, None, True)]
    assert json.loads(records[0]["body"])["order_id"] == "T-replay-1"
    assert records[2]["body_base64"] == "/yBub3QganNvbg=="  # not UTF-8: kept byte for byte
    # Stored while the keys were unusable: never checked, and replay must not make it valid by signing it.
    records.append({**records[0], "signature_ok": None, "unverified": True, "body": records[0]["body"].replace(
        "paid", "refunded"), "status": "refunded"})
    path.write_text("".join(json.dumps(record) + "\n" for record in records))

    done = replay(path, f"{live_server.url}/payments/notify/", "--account", f"{COMMUNITY}:{SPONSOR}")
    assert done.returncode == 1, done.stderr  # the two forged ones are refused again, the unchecked one not sent
    assert done.stdout.splitlines() == [
        "line 1: paid for T-replay-1: HTTP 200",
        "line 2: ? for ?: HTTP 400: invalid callback signature",
        "line 3: ? for ?: HTTP 400: invalid callback signature",
        "line 4: refunded for T-replay-1: not sent: its signature was never checked, and signing it would make "
        "whatever it says valid"]
    assert done.stderr == (f"replaying {path} to {live_server.url}/payments/notify/, signed with the sponsor key "
                           f"of account {COMMUNITY}\n3 not taken by {live_server.url}/payments/notify/\n")
    assert Callback.objects.get(status="paid").deliveries == 2  # the same callback, delivered again
    assert Payment.objects.get(pk=payment.pk).status == "paid"
    elsewhere = replay(path, "https://shop.example/payments/notify/", "--account", f"{COMMUNITY}:{SPONSOR}")
    assert (elsewhere.returncode, elsewhere.stdout) == (2, "")
    assert "is not on this machine (localhost or a loopback address)" in elsewhere.stderr
    assert "--to-another-host" in elsewhere.stderr and SPONSOR not in elsewhere.stderr


def test_the_export_keeps_to_the_days_given_and_a_bad_file_is_refused_before_anything_is_sent(client, tmp_path):
    payment = Payment.objects.create(order_id="T-replay-2", reference="order-2", amount=Decimal("5.00"),
                                     currency="CNY", recipient_account="artist", pay_url="http://x/pay")
    post_callback(client, *signed(callback_fields(payment)))
    today = timezone.localdate()
    assert len(export("--since", today.isoformat(), "--until", today.isoformat())) == 1
    assert export("--since", (today + dt.timedelta(days=1)).isoformat()) == []
    path = tmp_path / "callbacks.jsonl"
    path.write_text(json.dumps(export()[0]) + "\n{not json\n")
    refused = replay(path, "http://127.0.0.1:9/payments/notify/", "--account", "c:s")
    assert (refused.returncode, refused.stdout) == (2, "")
    assert refused.stderr.splitlines()[-1].startswith(f"tavori-sandbox replay: {path}, line 2: not a recorded callback")
    keyless = replay(path, "http://127.0.0.1:9/", "--db", str(tmp_path / "none.sqlite3"))
    assert keyless.stderr.startswith("tavori-sandbox replay: no sandbox database at ")
