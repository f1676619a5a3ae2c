import hashlib
import hmac
import os
import re
import time
import urllib.error
import urllib.request
from decimal import Decimal
from urllib.parse import parse_qsl, quote, urlsplit

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from tavori_pay import Client, OrderStatus, PaymentResult

COMMUNITY, SPONSOR = "community-key", "sponsor-key"
PAID = {"data": {"order_id": "T-1", "pay_url": "https://pay.example/T-1"}}


def form_of(request) -> list[tuple[str, str]]:
    return parse_qsl(request.body.decode(), keep_blank_values=True, strict_parsing=True)


def query_of(request) -> dict[str, str]:
    return dict(parse_qsl(urlsplit(request.path).query, keep_blank_values=True, strict_parsing=True))


def reference_amount(value: float) -> str:
    """Shortest round-trip digits, positional: an independent formatter."""
    if value != value:
        return "NaN"
    if value in (float("inf"), float("-inf")):
        return "inf" if value > 0 else "-inf"
    text = format(Decimal(repr(value)), "f")
    if "." in text:
        text = text.rstrip("0").rstrip(".")
    return "-0" if text == "0" and str(value).startswith("-") else text


class TestCreatePayment:
    def test_body_fields_in_order(self, client, service):
        service.answer(200, PAID)
        before = int(time.time())
        result = client.create_payment(10, "CNY", "acct 01", "/n?a=1&b=2")
        after = int(time.time())
        assert service.last.method == "POST"
        assert service.last.path == "/alipayment/sponsor/pay/"
        body = service.last.body.decode()
        timestamp, nonce = re.fullmatch(
            r"community_key=community-key&sponsor_key=sponsor-key&timestamp=(\d+)&nonce=([0-9a-f]{32})"
            r"&amount=10&currency=CNY&recipient_account=acct%2001&user_notify_url=%2Fn%3Fa%3D1%26b%3D2"
            r"&pay_mode=split", body).groups()
        assert before <= int(timestamp) <= after
        assert service.last.headers["Content-Type"] == "application/x-www-form-urlencoded"
        assert isinstance(result, PaymentResult)
        assert (result.order_id, result.pay_url) == ("T-1", "https://pay.example/T-1")

    @pytest.mark.parametrize("kwargs, tail", [
        ({}, "&pay_mode=split"),
        ({"return_url": None}, "&pay_mode=split"),
        ({"return_url": ""}, "&pay_mode=split"),
        ({"pay_mode": "direct"}, "&pay_mode=direct"),
        ({"pay_mode": "", "return_url": "https://shop/done?o=1"},
         "&pay_mode=&return_url=https%3A%2F%2Fshop%2Fdone%3Fo%3D1"),
    ])
    def test_pay_mode_and_return_url(self, client, service, kwargs, tail):
        client.create_payment(1, "CNY", "acct", "/n", **kwargs)
        body = service.last.body.decode()
        assert body.endswith(tail) and body.count("pay_mode=") == 1
        assert "recipient_account=acct&" in body

    def test_keyword_arguments(self, client, service):
        client.create_payment(amount=1.5, currency="USD", recipient_account="r", notify_url="u",
                              return_url="x", pay_mode="direct")
        assert dict(form_of(service.last))["return_url"] == "x"

    @pytest.mark.parametrize("amount, text", [
        (10.0, "10"), (12.5, "12.5"), (0.1, "0.1"), (0.1 + 0.2, "0.30000000000000004"),
        (1e21, "1000000000000000000000"), (1e-7, "0.0000001"), (-0.0, "-0"), (-5, "-5"),
        (100, "100"), (True, "1"), (float("nan"), "NaN"), (float("inf"), "inf"),
        (float("-inf"), "-inf"), (5e-324, "0." + "0" * 323 + "5"),
    ])
    def test_amount_text(self, client, service, amount, text):
        client.create_payment(amount, "CNY", "a", "n")
        assert dict(form_of(service.last))["amount"] == text

    @settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
    @given(amount=st.floats())
    def test_amount_text_matches_an_independent_formatter(self, service, amount):
        Client("c", "s").create_payment(amount, "CNY", "a", "n")
        assert dict(form_of(service.last))["amount"] == reference_amount(amount)

    def test_amount_accepts_objects_with_float_or_index(self, client, service):
        class Price:
            def __float__(self):
                return 2.25
        client.create_payment(Price(), "CNY", "a", "n")
        assert dict(form_of(service.last))["amount"] == "2.25"

    @pytest.mark.parametrize("args, kwargs, named", [
        (("10", "CNY", "a", "n"), {}, "amount"),
        ((1, None, "a", "n"), {}, "currency"),
        ((1, "CNY", 5, "n"), {}, "recipient_account"),
        ((1, "CNY", "a", b"n"), {}, "notify_url"),
        ((1, "CNY", "a", "n"), {"pay_mode": None}, "pay_mode"),
        ((1, "CNY", "a", "n"), {"return_url": 1}, "return_url"),
        ((1, "CNY", "a"), {}, "notify_url"),
        ((1, "CNY", "a", "n", "split", None, "extra"), {}, "at most 6"),
        ((1, "CNY", "a", "n"), {"amount": 2}, "amount"),
        ((1, "CNY", "a", "n"), {"colour": "red"}, "colour"),
    ])
    def test_argument_errors_send_nothing(self, client, service, args, kwargs, named):
        with pytest.raises(TypeError, match=named):
            client.create_payment(*args, **kwargs)
        assert service.requests == []

    def test_amount_too_large_for_a_double_raises_overflow(self, client, service):
        with pytest.raises(OverflowError):
            client.create_payment(10 ** 400, "CNY", "a", "n")
        assert service.requests == []

    def test_lone_surrogate_raises_the_encoding_error(self, client, service):
        with pytest.raises(UnicodeEncodeError):
            client.create_payment(1, "CNY", "a", "\ud800")
        assert service.requests == []

    @settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
    @given(values=st.lists(st.text(), min_size=5, max_size=5))
    def test_values_are_percent_encoded_like_quote(self, service, values):
        community, sponsor, currency, account, notify = values
        Client(community, sponsor).create_payment(1, currency, account, notify, return_url=notify or None)
        encoded = dict(pair.split("=", 1) for pair in service.last.body.decode().split("&"))
        for name, value in [("community_key", community), ("sponsor_key", sponsor), ("currency", currency),
                            ("recipient_account", account), ("user_notify_url", notify)]:
            assert encoded[name] == quote(value, safe="")
        assert encoded.get("return_url") == (quote(notify, safe="") if notify else None)

    @pytest.mark.parametrize("data, expected", [
        (None, ("", "")),
        ({"order_id": 7, "pay_url": ["x"]}, ("", "")),
        ("text", ("", "")),
        ({"order_id": "A'B", "pay_url": "\u00e9"}, ("A'B", "\u00e9")),
    ])
    def test_result_members_follow_the_text_rule(self, client, service, data, expected):
        service.answer(200, {"data": data})
        result = client.create_payment(1, "CNY", "a", "n")
        assert (result.order_id, result.pay_url) == expected


class TestQueryOrder:
    def test_signed_url(self, client, service):
        client.query_order("ord 1&x=y")
        request = service.last
        assert request.method == "GET" and request.body == b""
        path, _, query = request.path.partition("?")
        assert path == "/alipayment/sponsor/order-status/"
        match = re.fullmatch(r"community_key=community-key&timestamp=(\d+)&nonce=([0-9a-f]{32})"
                             r"&signature=([0-9a-f]{64})&order_id=ord%201%26x%3Dy", query)
        assert match, query
        timestamp, nonce, signature = match.groups()
        signed = f"{COMMUNITY}{timestamp}{nonce}ord 1&x=y"
        assert signature == hmac.new(SPONSOR.encode(), signed.encode(), hashlib.sha256).hexdigest()
        assert SPONSOR not in request.path

    def test_keys_with_special_characters_are_raw_when_signed_and_encoded_in_the_url(self, service):
        Client("c k&1", "s\u00e9").query_order("")
        query = service.last.path.partition("?")[2]
        assert query.startswith("community_key=c%20k%261&") and query.endswith("&order_id=")
        fields = query_of(service.last)
        signed = "c k&1" + fields["timestamp"] + fields["nonce"]
        assert fields["signature"] == hmac.new("s\u00e9".encode(), signed.encode(), hashlib.sha256).hexdigest()

    def test_fields_of_the_answer(self, client, service):
        service.answer(200, {"data": {
            "order_id": "T-9", "pay_status": 2, "pay_status_text": "paid", "settle_status": -1,
            "settle_status_text": "failed", "refund_status": 4294967297, "refund_status_text": "x",
            "amount": "10.00", "settle_amount": "9.70", "expired": "2026-12-31", "fail_reason": "none",
        }})
        status = client.query_order(order_id="T-9")
        assert isinstance(status, OrderStatus)
        assert (status.order_id, status.pay_status, status.pay_status_text) == ("T-9", 2, "paid")
        assert (status.settle_status, status.settle_status_text) == (-1, "failed")
        assert (status.refund_status, status.refund_status_text) == (1, "x")
        assert (status.amount, status.settle_amount, status.expired, status.fail_reason) == (
            "10.00", "9.70", "2026-12-31", "none")

    @pytest.mark.parametrize("raw, code", [
        ("2", 2), ("-1", -1), ('"2"', 0), ("2.0", 0), ("1e0", 0), ("true", 0), ("null", 0),
        (str(2 ** 32 + 1), 1), (str(2 ** 31), -(2 ** 31)), (str(2 ** 63), 0), (str(-(2 ** 63)), 0),
        (str(2 ** 63 - 1), -1), (str(2 ** 64 + 5), 0),
    ])
    def test_status_codes_follow_the_code_rule(self, client, service, raw, code):
        service.answer(200, f'{{"data": {{"pay_status": {raw}}}}}')
        assert client.query_order("x").pay_status == code

    def test_null_data_gives_defaults(self, client, service):
        service.answer(200, {"data": None})
        status = client.query_order("x")
        assert status.fail_reason == "" and status.amount == "" and status.pay_status == 0
        assert repr(status) == "OrderStatus(order_id='', pay_status=0, settle_status=0, refund_status=0)"

    @pytest.mark.parametrize("args, kwargs", [((), {}), ((1,), {}), (("a", "b"), {}), (("a",), {"order_id": "b"}),
                                              ((), {"id": "a"})])
    def test_argument_errors_send_nothing(self, client, service, args, kwargs):
        with pytest.raises(TypeError):
            client.query_order(*args, **kwargs)
        assert service.requests == []


@pytest.mark.parametrize("operation", [
    lambda client: client.create_payment(1, "CNY", "a", "n"),
    lambda client: client.query_order("x"),
])
class TestAnswerEnvelope:
    @pytest.mark.parametrize("status, body, message", [
        (201, '{"data": {}}', 'HTTP 201: {"data": {}}'),
        (400, '{"detail": "bad key"}', 'HTTP 400: {"detail": "bad key"}'),
        (404, "<h1>Not Found</h1>", "HTTP 404: <h1>Not Found</h1>"),
        (500, "", "HTTP 500: "),
        (200, "", "Invalid JSON: unexpected end of input at line 1 column 1 | body: "),
        (200, '{"data": {}} trailing', "Invalid JSON: trailing characters after the JSON value at line 1 column 14"
                                       ' | body: {"data": {}} trailing'),
        (200, '{"detail": "Unknown community key", "data": {}}', "Unknown community key"),
        (200, '{"detail": ""}', ""),
        (200, "[1, 2]", "Missing 'data' in response: [1, 2]"),
        (200, '{"result": {}}', "Missing 'data' in response: {\"result\": {}}"),
        (200, '{"detail": 5}', "Missing 'data' in response: {\"detail\": 5}"),
    ])
    def test_failures(self, client, service, operation, status, body, message):
        service.answer(status, body)
        with pytest.raises(RuntimeError) as raised:
            operation(client)
        assert str(raised.value) == message

    @pytest.mark.parametrize("detail", ["5", "null", '{"x": 1}'])
    def test_detail_that_is_not_a_string_is_passed_over(self, client, service, operation, detail):
        service.answer(200, f'{{"detail": {detail}, "data": {{"order_id": "A"}}}}')
        assert operation(client).order_id == "A"

    def test_long_body_is_placed_whole(self, client, service, operation):
        body = "x" * 100_000
        service.answer(502, body)
        with pytest.raises(RuntimeError) as raised:
            operation(client)
        assert str(raised.value) == "HTTP 502: " + body

    @settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
    # Runs of ASCII between the odd bytes, at every alignment, as in real answers.
    @given(body=st.lists(st.binary(max_size=4) | st.text(st.characters(max_codepoint=127), max_size=19)
                         .map(str.encode), max_size=8).map(b"".join))
    def test_invalid_utf8_is_replaced_as_python_does(self, service, operation, body):
        service.answer(503, body)
        with pytest.raises(RuntimeError) as raised:
            operation(Client("c", "s"))
        assert str(raised.value) == "HTTP 503: " + body.decode("utf-8", "replace")


class TestExchange:
    def test_connection_refused_raises_urllib_error_unchanged(self, client, monkeypatch):
        monkeypatch.setenv("TAVORI_PAY_BASE_URL", "http://127.0.0.1:9")
        with pytest.raises(urllib.error.URLError) as raised:
            client.query_order("x")
        assert not isinstance(raised.value, urllib.error.HTTPError)

    @pytest.mark.parametrize("base", ["", "  ", "/relative"])
    def test_url_without_scheme_raises_value_error(self, client, monkeypatch, base):
        monkeypatch.setenv("TAVORI_PAY_BASE_URL", base)
        with pytest.raises(ValueError, match="unknown url type"):
            client.create_payment(1, "CNY", "a", "n")

    def test_default_base_url_when_unset_or_not_utf8(self, client, monkeypatch):
        seen = []

        def refuse(request):
            seen.append(request.full_url)
            raise urllib.error.URLError("offline")
        monkeypatch.setattr(urllib.request, "urlopen", refuse)
        monkeypatch.delenv("TAVORI_PAY_BASE_URL", raising=False)
        with pytest.raises(urllib.error.URLError):
            client.query_order("x")
        monkeypatch.setitem(os.environb, b"TAVORI_PAY_BASE_URL", b"http://\xff")
        with pytest.raises(urllib.error.URLError):
            client.create_payment(1, "CNY", "a", "n")
        assert re.fullmatch(r"https://[a-z0-9.-]+/alipayment/sponsor/order-status/\?.*", seen[0])
        assert seen[1] == seen[0].partition("/alipayment")[0] + "/alipayment/sponsor/pay/"

    def test_base_url_is_read_at_every_request(self, client, service, monkeypatch):
        client.query_order("x")
        monkeypatch.setenv("TAVORI_PAY_BASE_URL", service.url + "/")
        client.create_payment(1, "CNY", "a", "n")
        assert service.last.path == "//alipayment/sponsor/pay/"

    def test_exact_calls_into_urllib(self, client, service, monkeypatch):
        calls = []
        real_request, real_urlopen = urllib.request.Request, urllib.request.urlopen

        def request(*args, **kwargs):
            calls.append(("Request", args, kwargs))
            return real_request(*args, **kwargs)

        def urlopen(*args, **kwargs):
            calls.append(("urlopen", (args[0].get_method(),) + args[1:], kwargs))
            return real_urlopen(*args, **kwargs)
        monkeypatch.setattr(urllib.request, "Request", request)
        monkeypatch.setattr(urllib.request, "urlopen", urlopen)
        client.query_order("x")
        client.create_payment(1, "CNY", "a", "n")
        (_, get_args, get_kwargs), (_, get_open, _), (_, post_args, post_kwargs), (_, post_open, _) = calls
        assert len(get_args) == 1 and get_kwargs == {} and get_open == ("GET",)
        assert len(post_args) == 2 and type(post_args[1]) is bytes and post_kwargs == {}
        assert post_open == ("POST",)

    @pytest.mark.parametrize("code, status", [(65536 + 200, 200), (404, 404)])
    def test_status_keeps_its_low_16_bits(self, client, monkeypatch, code, status):
        monkeypatch.setattr(urllib.request, "urlopen", lambda request: FakeResponse(code, b'{"data": {}}'))
        if status == 200:
            client.query_order("x")
        else:
            with pytest.raises(RuntimeError, match="^HTTP 404: "):
                client.query_order("x")

    @pytest.mark.parametrize("code, read, error", [
        (2 ** 31, b"{}", OverflowError),
        ("200", b"{}", TypeError),
        (200, '{"data": {}}', TypeError),
        (200, [300], TypeError),
    ])
    def test_unconvertible_answers_raise(self, client, monkeypatch, code, read, error):
        monkeypatch.setattr(urllib.request, "urlopen", lambda request: FakeResponse(code, read))
        with pytest.raises(error):
            client.query_order("x")

    def test_read_may_return_a_sequence_of_small_integers(self, client, monkeypatch):
        monkeypatch.setattr(urllib.request, "urlopen",
                            lambda request: FakeResponse(200, list(b'{"data": {"order_id": "L"}}')))
        assert client.query_order("x").order_id == "L"

    def test_http_error_subclass_is_an_answer(self, client, monkeypatch):
        class Teapot(urllib.error.HTTPError):
            pass

        def urlopen(request):
            raise Teapot(request.full_url, 418, "teapot", {}, FakeResponse(418, b"short and stout"))
        monkeypatch.setattr(urllib.request, "urlopen", urlopen)
        with pytest.raises(RuntimeError, match="^HTTP 418: short and stout$"):
            client.query_order("x")


class FakeResponse:
    def __init__(self, code, body):
        self.code, self.body = code, body

    def getcode(self):
        return self.code

    def read(self, *args):
        return self.body

    def close(self):
        pass
