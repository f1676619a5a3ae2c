"""Repeating every operation, on its success and failure paths, must leave the
process's memory and the interpreter's allocated blocks flat: no reference or
allocation is kept by a call."""

import os

import pytest
from conftest import run_python

pytestmark = pytest.mark.skipif(os.environ.get("TAVORI_PAY_SANITIZED") == "1",
                                reason="a sanitizer's quarantine holds freed memory on purpose")

MEASURE = """
import gc, hashlib, hmac, os, sys, urllib.error, urllib.request
from tavori_pay import Client

PAGE = os.sysconf("SC_PAGE_SIZE")
def resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE

def measure(step, rounds):
    for i in range(rounds // 5):
        step(i)
    gc.collect()
    rss, blocks = resident(), sys.getallocatedblocks()
    for i in range(rounds):
        step(i)
    gc.collect()
    print(resident() - rss, sys.getallocatedblocks() - blocks)
"""


def assert_flat(result):
    assert result.returncode == 0, result.stderr
    rss_growth, block_growth = map(int, result.stdout.split())
    assert rss_growth < 1 << 20, f"resident memory grew by {rss_growth} bytes"
    # A reference kept per call would show as tens of thousands of blocks; a few
    # hundred come and go with the interpreter's free lists and urllib's caches.
    assert block_growth < 1000, f"{block_growth} more allocated blocks"


def test_verify_callback_leaks_nothing():
    assert_flat(run_python(MEASURE + """
client = Client("c", "s")
body = ('{"status": "paid", "order_id": "T-1", "amount": "10.00", "settle_amount": "9.70", "reason": "", '
        '"expired": "2026-12-31 23:59:59", "padding": "%s"}' % ("x" * 40))
good = hmac.new(b"s", body.encode(), hashlib.sha256).hexdigest()
bad_json = "{" + body
bad_json_signature = hmac.new(b"s", bad_json.encode(), hashlib.sha256).hexdigest()

def step(i):
    kind = i % 3
    try:
        if kind == 0:
            client.verify_callback(body, good)
        elif kind == 1:
            client.verify_callback(body, "0" * 64)
        else:
            client.verify_callback(bad_json, bad_json_signature)
    except RuntimeError:
        pass

measure(step, 100_000)
"""))


def test_requests_answered_in_process_leak_nothing():
    assert_flat(run_python(MEASURE + """
import io
class Response:
    def __init__(self, code, body):
        self.code, self.body = code, body
    def getcode(self):
        return self.code
    def read(self):
        return self.body

answers = [
    Response(200, b'{"data": {"order_id": "T", "pay_url": "u", "pay_status": 1, "amount": "1.00"}}'),
    Response(200, b'{"detail": "refused"}'),
    Response(200, b'{"data": '),
    Response(200, b'[]'),
    Response(500, b'\\xff oops'),
    Response("x", b''),
]
calls = 0
def urlopen(request):
    global calls
    calls += 1
    if calls % 8 == 6:
        raise urllib.error.HTTPError(request.full_url, 404, "nf", {}, io.BytesIO(b"missing"))
    if calls % 8 == 7:
        raise urllib.error.URLError("offline")
    return answers[calls % 8 % len(answers)]
urllib.request.urlopen = urlopen
client = Client("c", "s")

def step(i):
    try:
        if i % 2:
            client.query_order("T-%d" % (i % 10))
        else:
            client.create_payment(10.5, "CNY", "acct", "https://shop/notify", return_url="https://shop/r")
    except (RuntimeError, TypeError, urllib.error.URLError):
        pass

measure(step, 100_000)
"""))


def test_construction_and_records_leak_nothing(tmp_path):
    (tmp_path / "good").mkdir()
    (tmp_path / "good" / "auth_key.py").write_text("COMMUNITY_KEY = 'c'\nSPONSOR_KEY = 's'\n")
    (tmp_path / "half").mkdir()
    (tmp_path / "half" / "auth_key.py").write_text("COMMUNITY_KEY = 'c'\n")
    (tmp_path / "empty").mkdir()
    assert_flat(run_python(MEASURE + """
class Response:
    def getcode(self):
        return 200
    def read(self):
        return b'{"data": {"order_id": "T", "pay_url": "u", "pay_status": -1}}'
urllib.request.urlopen = lambda request: Response()
spaces = ["good", "half", "empty"]

def step(i):
    os.chdir(spaces[i % 3])
    try:
        Client() if i % 2 else Client(None, "given")
    except RuntimeError:
        pass
    os.chdir("..")
    try:
        Client(1)
    except TypeError:
        pass
    client = Client("a", "b")
    payment, status = client.create_payment(1, "CNY", "a", "n"), client.query_order("T")
    repr(payment), repr(status), payment.order_id, payment.pay_url, status.pay_status, status.fail_reason

measure(step, 100_000)
""", cwd=tmp_path))
