"""A typical use of tavori_pay, checked with mypy --strict against the stubs."""

import tavori_pay
from tavori_pay import Client, OrderStatus, PaymentResult


def pay(client: Client, notify_url: str) -> str:
    payment: PaymentResult = client.create_payment(12.5, "CNY", "artist@example.com", notify_url,
                                                   pay_mode="direct", return_url=None)
    return payment.pay_url


def state(client: Client, order_id: str) -> tuple[int, str, str]:
    status: OrderStatus = client.query_order(order_id)
    return status.pay_status, status.pay_status_text, status.settle_amount


def on_callback(client: Client, body: str, signature: str) -> str:
    fields: dict[str, str] = client.verify_callback(body, signature)
    return fields.get("status", "")


def build() -> Client:
    assert tavori_pay.__version__.count(".") == 2
    return Client() if tavori_pay.__all__ else Client("c", "s")
