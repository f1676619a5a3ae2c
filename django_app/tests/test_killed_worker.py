"""A gunicorn worker killed while a receiver fulfils a paid order: the
service had its answer before the receiver ran, the payment's move is
committed, its event is not marked delivered, and the order is fulfilled
once, by the next delivery for the payment or the dispatch run."""

from __future__ import annotations

import os
import signal

import psycopg
import pytest
from conftest import COMMUNITY, ON_POSTGRES, SPONSOR
from shop_server import ShopServer

from tavori_pay_sandbox import Account, Sandbox

pytestmark = pytest.mark.skipif(not ON_POSTGRES, reason="runs on the PostgreSQL cluster")

ORDERS = 6


def test_an_order_whose_worker_was_killed_while_fulfilling_is_fulfilled_once_by_dispatch(postgres, tmp_path,
                                                                                         no_proxy):
    (tmp_path / "auth_key.py").write_text(f'COMMUNITY_KEY = "{COMMUNITY}"\nSPONSOR_KEY = "{SPONSOR}"\n')
    with Sandbox(accounts=[Account(COMMUNITY, SPONSOR)], callback_first_delay=0.05, log=lambda line: None) as sandbox:
        shop = ShopServer(postgres, "killed", tmp_path, sandbox.url, workers=4, SHOP_FULFILMENT_SECONDS="1")
        try:
            order_ids = [shop.checkout() for _ in range(ORDERS)]
            for order_id in order_ids:
                sandbox.pay(order_id)
            victim = int(shop.wait_for_log(r"fulfilling order \d+ in process (\d+)").group(1))
            os.kill(victim, signal.SIGKILL)
            deliveries = sandbox.wait_for_deliveries(timeout=60)
        finally:
            shop.stop()
        dispatched = shop.manage("tavori_pay_dispatch", "--ignore-backoff", SHOP_FULFILMENT_SECONDS="0")

    assert dispatched.returncode == 0, dispatched.stderr
    # Every callback answered at once, the killed worker's too: receivers run after the answer.
    assert [delivery["code"] for delivery in deliveries] == [200] * 2 * ORDERS
    with psycopg.connect(postgres.url("killed")) as database:
        payments = database.execute("SELECT status, count(*) FROM tavori_pay_payment GROUP BY 1").fetchall()
        undelivered = database.execute("SELECT count(*) FROM tavori_pay_paymentevent "
                                       "WHERE delivered_at IS NULL").fetchone()[0]
        orders = database.execute("SELECT state, settled, count(*) FROM shop_order GROUP BY 1, 2").fetchall()
        chains = database.execute("SELECT order_id, string_agg(previous || '>' || new, ' ' ORDER BY id) "
                                  "FROM shop_orderevent GROUP BY 1").fetchall()
    assert payments == [("settled", ORDERS)] and undelivered == 0
    assert orders == [("paid", True, ORDERS)]
    assert len(chains) == ORDERS and {chain for _, chain in chains} == {"pending>paid paid>settled"}
