"""The shop under uvicorn with Django's ASGI handler, two worker processes:
the async checkout (astart_payment), the notify view answering the
service's callbacks, the receivers after the answer, and the async page the
buyer returns to (arefresh_payment), with the status view it polls."""

from __future__ import annotations

import json
import urllib.request

import psycopg
import pytest
from conftest import COMMUNITY, ON_POSTGRES, SPONSOR, wait_until
from shop_server import ShopServer

from tavori_pay_sandbox import Account, Sandbox

pytestmark = pytest.mark.skipif(not ON_POSTGRES, reason="runs on the PostgreSQL cluster")

ORDER_OF = ("SELECT o.key, o.state, o.settled, p.token FROM shop_order o JOIN tavori_pay_payment p "
            "ON p.order_key = o.id::text WHERE p.order_id = %s")


def get(url: str) -> str:
    return urllib.request.urlopen(url, timeout=30).read().decode()


def test_orders_are_paid_fulfilled_and_shown_under_uvicorn(postgres, tmp_path, no_proxy):
    (tmp_path / "auth_key.py").write_text(f'COMMUNITY_KEY = "{COMMUNITY}"\nSPONSOR_KEY = "{SPONSOR}"\n')
    with Sandbox(accounts=[Account(COMMUNITY, SPONSOR)], callback_first_delay=0.05, settle_delay=3600,
                 log=lambda line: None) as sandbox:  # settled when the test says
        shop = ShopServer(postgres, "asgi", tmp_path, sandbox.url, workers=2, server="uvicorn",
                          SHOP_FULFILMENT_SECONDS="0")
        try:
            heard, lost = shop.checkout(), shop.checkout("ticket")
            sandbox.pay(heard)
            sandbox.settle(heard)
            deliveries = sandbox.wait_for_deliveries(heard, count=2, timeout=30)
            sandbox.drop_deliveries(5, order_id=lost)  # each of its attempts
            sandbox.pay(lost)
            with psycopg.connect(postgres.url("asgi"), autocommit=True) as database:
                def order_of(order_id: str) -> tuple:
                    return database.execute(ORDER_OF, [order_id]).fetchone()

                assert wait_until(lambda: order_of(heard)[2], 30)  # settled
                key, *_ = order_of(heard)
                heard_page = get(f"{shop.url}/orders/{key}/done/")
                key, state, _, token = order_of(lost)
                assert state == "pending"  # its callback never came
                lost_page = get(f"{shop.url}/orders/{key}/done/")  # asks the service
                status = json.loads(get(f"{shop.url}/payments/status/{token}/"))
                assert wait_until(lambda: order_of(lost)[1] == "paid", 30)  # moved by the page's question
        finally:
            shop.stop()
    assert [delivery["code"] for delivery in deliveries] == [200, 200]
    assert 'data-status="settled"' in heard_page
    assert 'data-status="paid"' in lost_page and status == {"status": "paid", "amount": "45.50",
                                                                              "currency": "CNY", "taken": True}
