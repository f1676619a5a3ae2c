"""The shop under gunicorn's four worker processes on PostgreSQL while the
service pays fifty orders and every signed callback is replayed twenty times
at once and out of order: each payment ends right, each move happens once."""

from __future__ import annotations

import random
import threading
import urllib.error
import urllib.request
from collections import Counter
from concurrent.futures import ThreadPoolExecutor

import psycopg
import pytest
from conftest import COMMUNITY, ON_POSTGRES, SPONSOR
from shop_server import ShopServer

from tavori_pay_sandbox import Account, Sandbox
from tavori_pay_sandbox.deliveries import callback_body
from tavori_pay_sandbox.rules import sign

pytestmark = pytest.mark.skipif(not ON_POSTGRES, reason="runs on the PostgreSQL cluster")

ORDERS, REPLAYS = 50, 20


class RecordingSandbox(Sandbox):
    """The sandbox, keeping a copy of every callback it sends and counting
    the deliveries that were answered."""

    def __init__(self, **kwargs):
        self.sent: list[tuple[bytes, str]] = []
        self.answered = threading.Condition()
        self.delivered = 0
        super().__init__(log=self._log, **kwargs)
        send = self._deliveries.send

        def recording_send(order, sponsor_key, status, at_once=False):
            body = callback_body(order, status)
            self.sent.append((body.encode(), sign(sponsor_key, body)))
            send(order, sponsor_key, status, at_once)
        self._deliveries.send = recording_send

    def _log(self, line: str) -> None:
        if line.startswith("callback ") and "delivered" in line:
            with self.answered:
                self.delivered += 1
                self.answered.notify_all()


def post(url: str, body: bytes, signature: str) -> int:
    request = urllib.request.Request(url, body, method="POST", headers={
        "Content-Type": "application/json", "X-Tavori-Signature": signature})
    try:
        with urllib.request.urlopen(request, timeout=60) as answer:
            return answer.status
    except urllib.error.HTTPError as error:
        return error.code


def test_fifty_orders_with_every_callback_replayed_twenty_times(postgres, tmp_path, no_proxy):
    (tmp_path / "auth_key.py").write_text(f'COMMUNITY_KEY = "{COMMUNITY}"\nSPONSOR_KEY = "{SPONSOR}"\n')
    with RecordingSandbox(accounts=[Account(COMMUNITY, SPONSOR)], callback_first_delay=0.05) as sandbox:
        shop = ShopServer(postgres, "storm", tmp_path, sandbox.url, workers=4)
        try:
            order_ids = [shop.checkout() for _ in range(ORDERS)]
            for order_id in order_ids:
                sandbox.pay(order_id)  # paid, then settled by the sweep: two callbacks each
            with sandbox.answered:
                assert sandbox.answered.wait_for(lambda: len(sandbox.sent) == 2 * ORDERS, 60)
            replays = sandbox.sent * REPLAYS
            random.Random(7).shuffle(replays)
            with ThreadPoolExecutor(16) as pool:
                answers = Counter(pool.map(lambda replay: post(f"{shop.url}/payments/notify/", *replay), replays))
            with sandbox.answered:
                assert sandbox.answered.wait_for(lambda: sandbox.delivered == 2 * ORDERS, 60)
        finally:
            shop.stop()
        attempts = Counter(delivery["outcome"] for delivery in sandbox.store.deliveries())

    assert answers == {200: len(replays)}, shop.log[-20:]
    assert set(attempts) == {"delivered (HTTP 200)"}
    with psycopg.connect(postgres.url("storm")) as database:
        payments = database.execute("SELECT status, needs_review, count(*) FROM tavori_pay_payment "
                                    "GROUP BY 1, 2").fetchall()
        events = database.execute("SELECT o.id, e.previous, e.new FROM shop_orderevent e "
                                  "JOIN shop_order o ON o.id = e.order_id ORDER BY e.id").fetchall()
        orders = database.execute("SELECT state, settled, count(*) FROM shop_order GROUP BY 1, 2").fetchall()
        callbacks = database.execute("SELECT outcome, count(*), sum(deliveries) FROM tavori_pay_callback "
                                     "GROUP BY 1").fetchall()
    assert payments == [("settled", False, ORDERS)]
    assert orders == [("paid", True, ORDERS)]
    # Each order moved from pending to settled, each stage announced once and
    # in order, whichever callback happened to arrive first.
    moves: dict[int, list[tuple[str, str]]] = {}
    for order, previous, new in events:
        moves.setdefault(order, []).append((previous, new))
    assert len(moves) == ORDERS
    assert {tuple(chain) for chain in moves.values()} == {(("pending", "paid"), ("paid", "settled"))}
    # Every callback stored once, with every delivery of it counted.
    stored = {outcome: (count, deliveries) for outcome, count, deliveries in callbacks}
    assert sum(count for count, _ in stored.values()) == 2 * ORDERS
    assert sum(deliveries for _, deliveries in stored.values()) == len(replays) + sum(attempts.values())
    assert set(stored) <= {"applied", "stale"} and stored["applied"][0] >= ORDERS
