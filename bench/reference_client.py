"""The client a user would otherwise write in plain Python (urllib, hmac,
json): the same requests as tavori_pay, the same answers read. The benchmarks
measure the module against it."""

import hashlib
import hmac
import json
import os
import secrets
import time
import urllib.error
import urllib.request
from urllib.parse import quote

DEFAULT_BASE_URL = "https://pay.tavori.net"
CALLBACK_MEMBERS = ("status", "order_id", "amount", "settle_amount", "reason", "expired")


def _encode(value: str) -> str:
    return quote(value, safe="")


def _amount_text(amount: float) -> str:
    return repr(float(amount)).removesuffix(".0")


def _text(data, name: str) -> str:
    value = data.get(name) if isinstance(data, dict) else None
    return value if isinstance(value, str) else ""


def _code(data, name: str) -> int:
    value = data.get(name) if isinstance(data, dict) else None
    if type(value) is not int or not -(2 ** 63) <= value < 2 ** 63:
        return 0
    value &= 0xFFFFFFFF
    return value - (1 << 32) if value >= 1 << 31 else value


class ReferenceClient:
    def __init__(self, community_key: str, sponsor_key: str):
        self.community_key = community_key
        self.sponsor_key = sponsor_key

    def _exchange(self, url: str, method: str, body: bytes | None):
        request = urllib.request.Request(url, body) if body is not None else urllib.request.Request(url)
        request.method = method
        try:
            response = urllib.request.urlopen(request)
            status, raw = response.getcode(), response.read()
        except urllib.error.HTTPError as error:
            status, raw = error.code, error.read()
        text = raw.decode("utf-8", "replace")
        if status != 200:
            raise RuntimeError(f"HTTP {status}: {text}")
        try:
            answer = json.loads(text)
        except ValueError as error:
            raise RuntimeError(f"Invalid JSON: {error} | body: {text}") from None
        if isinstance(answer, dict) and isinstance(answer.get("detail"), str):
            raise RuntimeError(answer["detail"])
        if not isinstance(answer, dict) or "data" not in answer:
            raise RuntimeError(f"Missing 'data' in response: {text}")
        return answer["data"]

    def create_payment(self, amount, currency, recipient_account, notify_url,
                       pay_mode="split", return_url=None):
        body = (f"community_key={_encode(self.community_key)}&sponsor_key={_encode(self.sponsor_key)}"
                f"&timestamp={int(time.time())}&nonce={secrets.token_hex(16)}"
                f"&amount={_encode(_amount_text(amount))}&currency={_encode(currency)}"
                f"&recipient_account={_encode(recipient_account)}&user_notify_url={_encode(notify_url)}"
                f"&pay_mode={_encode(pay_mode)}")
        if return_url:
            body += f"&return_url={_encode(return_url)}"
        base = os.environ.get("TAVORI_PAY_BASE_URL", DEFAULT_BASE_URL)
        data = self._exchange(f"{base}/alipayment/sponsor/pay/", "POST", body.encode())
        return {"order_id": _text(data, "order_id"), "pay_url": _text(data, "pay_url")}

    def query_order(self, order_id: str):
        timestamp, nonce = str(int(time.time())), secrets.token_hex(16)
        signed = f"{self.community_key}{timestamp}{nonce}{order_id}"
        signature = hmac.new(self.sponsor_key.encode(), signed.encode(), hashlib.sha256).hexdigest()
        base = os.environ.get("TAVORI_PAY_BASE_URL", DEFAULT_BASE_URL)
        url = (f"{base}/alipayment/sponsor/order-status/?community_key={_encode(self.community_key)}"
               f"&timestamp={timestamp}&nonce={nonce}&signature={signature}&order_id={_encode(order_id)}")
        data = self._exchange(url, "GET", None)
        fields = {name: _text(data, name) for name in (
            "order_id", "pay_status_text", "settle_status_text", "refund_status_text",
            "amount", "settle_amount", "expired", "fail_reason")}
        fields.update({name: _code(data, name) for name in ("pay_status", "settle_status", "refund_status")})
        return fields

    def verify_callback(self, body: str, signature: str) -> dict:
        expected = hmac.new(self.sponsor_key.encode(), body.encode(), hashlib.sha256).hexdigest()
        if not hmac.compare_digest(expected, signature):
            raise RuntimeError("Invalid callback signature")
        try:
            parsed = json.loads(body)
        except ValueError as error:
            raise RuntimeError(f"Invalid JSON body: {error}") from None
        if not isinstance(parsed, dict):
            return {}
        return {name: _text(parsed, name) for name in CALLBACK_MEMBERS if name in parsed}
