"""The HTML the payer and the developer see: the hosted pay page and the
orders page."""

from __future__ import annotations

import time
from html import escape
from typing import Any

from . import states

STYLE = """
body { font-family: system-ui, sans-serif; margin: 2rem auto; max-width: 60rem; color: #222; }
h1 { font-size: 1.4rem; } table { border-collapse: collapse; width: 100%; }
td, th { border-bottom: 1px solid #ddd; padding: .35rem .5rem; text-align: left; font-size: .9rem; }
.card { border: 1px solid #ccc; border-radius: .5rem; padding: 1.5rem; max-width: 28rem; }
.amount { font-size: 2rem; margin: .5rem 0; } .muted { color: #666; }
button { font-size: 1rem; padding: .5rem 1.5rem; margin-right: .5rem; cursor: pointer; }
"""


def page(title: str, body: str) -> bytes:
    return (f"<!doctype html><html lang='en'><head><meta charset='utf-8'><title>{escape(title)}</title>"
            f"<style>{STYLE}</style></head><body>{body}</body></html>").encode()


def when(seconds: float) -> str:
    return time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(seconds))


def pay_page(order: dict[str, Any], merchant: str) -> bytes:
    e = {key: escape(str(value)) for key, value in order.items()}
    lines = [
        f"<p class='muted'>Pay to</p><h1 id='merchant'>{escape(merchant)}</h1>",
        f"<p class='amount' id='amount'>{e['amount']} {e['currency']}</p>",
        f"<p>Order <code id='order-id'>{e['order_id']}</code>, mode <b id='mode'>{e['pay_mode']}</b></p>",
    ]
    if order["pay_mode"] == "split":
        lines.append(f"<p id='split'>Royalty split: {e['recipient_account']} receives "
                     f"{e['recipient_share']} {e['currency']}</p>")
    if order["pay_status"] == states.AWAITING_PAYMENT:
        lines.append(f"<p class='muted'>Pay before {when(order['expires'])} UTC</p>")
        lines.append(f"<form method='post' action='/pay/{e['order_id']}/pay' style='display:inline'>"
                     "<button id='pay' type='submit'>Pay</button></form>")
        lines.append(f"<form method='post' action='/pay/{e['order_id']}/decline' style='display:inline'>"
                     "<button id='decline' type='submit'>Decline</button></form>")
    else:
        lines.append(f"<p id='state'>This order is {escape(states.PAY_TEXTS[order['pay_status']])}.</p>")
    return page(f"Pay {merchant}", "<div class='card'>" + "".join(lines) + "</div>")


def orders_page(orders: list[dict[str, Any]], deliveries: list[dict[str, Any]]) -> bytes:
    by_order: dict[str, list[dict[str, Any]]] = {}
    for delivery in deliveries:
        by_order.setdefault(delivery["order_id"], []).append(delivery)
    rows = []
    for order in orders:
        e = {key: escape(str(value)) for key, value in order.items()}
        send_again = f"<form method='post' action='/sandbox/orders/{e['order_id']}/send-again' style='display:inline'>"
        sent = "<br>".join(f"{escape(d['event'])} #{d['attempt']}: {escape(d['outcome'])} {send_again}"
                           f"<input type='hidden' name='event' value='{escape(d['event'])}'>"
                           "<button type='submit'>send again</button></form>"
                           for d in by_order.get(order["order_id"], []))
        refund = ""
        if order["pay_status"] == states.PAID and order["refund_status"] == states.NOT_REFUNDED:
            refund = (f"<form method='post' action='/sandbox/orders/{e['order_id']}/refund'>"
                      "<button type='submit'>Refund</button></form>")
        rows.append(
            f"<tr><td><a href='/pay/{e['order_id']}'>{e['order_id']}</a><br>"
            f"<span class='muted'>{when(order['created'])}</span></td>"
            f"<td>{e['amount']} {e['currency']}<br><span class='muted'>{e['pay_mode']}</span></td>"
            f"<td>{escape(states.PAY_TEXTS[order['pay_status']])}</td>"
            f"<td>{escape(states.SETTLE_TEXTS[order['settle_status']])} {e['settle_amount']}</td>"
            f"<td>{escape(states.REFUND_TEXTS[order['refund_status']])}{refund}</td>"
            f"<td>{sent or '<span class=muted>none</span>'}</td></tr>")
    table = ("<table><tr><th>order</th><th>amount</th><th>payment</th><th>settlement</th>"
             "<th>refund</th><th>callbacks</th></tr>" + "".join(rows) + "</table>")
    return page("Sandbox orders", f"<h1>Sandbox orders ({len(orders)})</h1>{table}")
