"""Calls that mypy must refuse; the test expects one error per marked line."""

from tavori_pay import Client

client = Client(community_key=1)  # error: community_key
client.create_payment("10", "CNY", "a", "n")  # error: amount
client.query_order()  # error: order_id
client.create_payment(1, "CNY", "a", "n", pay_mode="splt")  # error: pay_mode is split or direct
status = client.query_order("x")
status.pay_status = 2  # error: read-only
text: int = client.verify_callback("{}", "sig")["status"]  # error: str, not int
