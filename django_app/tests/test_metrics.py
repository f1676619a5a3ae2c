"""The metrics page as Prometheus reads it: callbacks by outcome, requests to
the service, deliveries by receiver, and the waiting events; under gunicorn,
every worker's counts whichever worker answers the scrape."""

from __future__ import annotations

import urllib.error
import urllib.request
from concurrent.futures import ThreadPoolExecutor
from decimal import Decimal

import pytest
from conftest import COMMUNITY, ON_POSTGRES, SPONSOR, callback_fields, post_callback, signed
from prometheus_client.parser import text_string_to_metric_families

from tavori_pay_django import metrics, start_payment
from tavori_pay_django.models import Payment
from tavori_pay_sandbox import Account, Sandbox

pytestmark = pytest.mark.django_db(transaction=True)


def samples(text: str) -> dict[tuple[str, tuple[tuple[str, str], ...]], float]:
    """Each sample of the exposition text by its name and labels."""
    return {(sample.name, tuple(sorted(sample.labels.items()))): sample.value
            for family in text_string_to_metric_families(text) for sample in family.samples}


def scrape(client) -> dict:
    answer = client.get("/metrics/")
    assert answer.status_code == 200 and answer["Content-Type"].startswith("text/plain")
    return samples(answer.content.decode())


def grown(before: dict, after: dict) -> dict:
    """What each counter gained between two scrapes (its _total and _count samples)."""
    return {key: value - before.get(key, 0) for key, value in after.items()
            if key[0].startswith("tavori_pay_") and key[0].endswith(("_total", "_count"))
            and value != before.get(key, 0)}


def test_callbacks_requests_deliveries_and_waiting_events_are_counted(client, sandbox, connect):
    def fulfil(sender, payment, new, **kwargs):
        if new == "paid":
            raise RuntimeError("the warehouse is closed")

    connect(fulfil)
    before = scrape(client)
    payment = start_payment(Decimal("128.00"), "CNY", reference="order-1", recipient_account="artist")
    body, signature = signed(callback_fields(payment))
    answers = [post_callback(client, body, signature).status_code for _ in range(2)]
    answers.append(post_callback(client, body, "forged").status_code)
    assert answers == [200, 200, 400]
    after = scrape(client)

    assert grown(before, after) == {
        ("tavori_pay_callbacks_total", (("outcome", "applied"),)): 1,
        ("tavori_pay_callbacks_total", (("outcome", "redelivered"),)): 1,
        ("tavori_pay_callbacks_total", (("outcome", "bad_signature"),)): 1,
        ("tavori_pay_callback_duration_seconds_count", ()): 3,
        ("tavori_pay_service_requests_total", (("operation", "create_payment"), ("outcome", "ok"))): 1,
        ("tavori_pay_service_request_duration_seconds_count", (("operation", "create_payment"),)): 1,
        ("tavori_pay_event_deliveries_total", (("outcome", "raised"), ("receiver", "fulfil"))): 1,
        ("tavori_pay_receiver_duration_seconds_count", (("receiver", "fulfil"),)): 1,
    }
    # The paid event waits for the receiver that raised.
    assert after[("tavori_pay_events_pending", ())] == 1
    assert after[("tavori_pay_events_oldest_pending_age_seconds", ())] >= 0


def test_without_prometheus_client_callbacks_are_taken_and_the_page_says_what_to_install(client, monkeypatch):
    monkeypatch.setattr(metrics, "prometheus_client", None)
    payment = Payment.objects.create(order_id="T-1", reference="order-1", amount=Decimal("1.00"), currency="CNY",
                                     pay_url="http://x/pay")
    assert post_callback(client, *signed(callback_fields(payment))).status_code == 200
    answer = client.get("/metrics/")
    assert (answer.status_code, answer.content) == (
        404, b'metrics need prometheus_client: pip install "tavori-pay[metrics]"')


def post_forged(url: str) -> int:
    request = urllib.request.Request(f"{url}/payments/notify/", b'{"order_id": "T-1"}',
                                     headers={"X-Tavori-Signature": "forged"})
    try:
        with urllib.request.urlopen(request, timeout=30) as answer:
            return answer.status
    except urllib.error.HTTPError as error:
        return error.code


@pytest.mark.skipif(not ON_POSTGRES, reason="runs on the PostgreSQL cluster")
def test_every_gunicorn_worker_s_callbacks_are_in_each_scrape(postgres, tmp_path, no_proxy):
    from shop_server import ShopServer

    (tmp_path / "auth_key.py").write_text(f'COMMUNITY_KEY = "{COMMUNITY}"\nSPONSOR_KEY = "{SPONSOR}"\n')
    counts = tmp_path / "metrics"
    counts.mkdir()
    with Sandbox(accounts=[Account(COMMUNITY, SPONSOR)], log=lambda line: None) as sandbox:
        shop = ShopServer(postgres, "metrics", tmp_path, sandbox.url, workers=3, PROMETHEUS_MULTIPROC_DIR=str(counts))
        try:
            forged = 60
            with ThreadPoolExecutor(6) as clients:  # at once, so that every worker takes some
                assert set(clients.map(post_forged, [shop.url] * forged)) == {400}
            assert len(list(counts.glob("counter_*.db"))) > 1  # more than one worker counted
            for _ in range(6):
                with urllib.request.urlopen(f"{shop.url}/metrics/", timeout=30) as answer:
                    text = answer.read().decode()
                assert samples(text)[("tavori_pay_callbacks_total", (("outcome", "bad_signature"),))] == forged
        finally:
            shop.stop()
