"""Prints the module's cost per call beside the plain-Python reference client
(bench/reference_client.py), in the same process and run: best of several
alternating repeats, since the machine is noisy.

    .venv/bin/python bench/compare.py
"""

import hashlib
import hmac
import json
import os
import sys
import threading
import timeit
import urllib.request
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))

import tavori_pay  # noqa: E402
from reference_client import ReferenceClient  # noqa: E402

COMMUNITY, SPONSOR = "bench-community-key", "bench-sponsor-key-0123456789"
CALLBACK = json.dumps({
    "status": "paid", "order_id": "T-20261208-000123", "amount": "128.00", "settle_amount": "124.16",
    "reason": "", "expired": "2026-12-08 12:00:00", "merchant": "Example Shop",
})
ANSWER = json.dumps({"data": {
    "order_id": "T-20261208-000123", "pay_url": "https://pay.example/T-20261208-000123",
    "pay_status": 1, "pay_status_text": "paid", "settle_status": 0, "settle_status_text": "pending",
    "refund_status": 0, "refund_status_text": "none", "amount": "128.00", "settle_amount": "",
    "expired": "2026-12-08 12:00:00", "fail_reason": "",
}}).encode()


def best_per_call(functions: dict, number: int, repeats: int = 7) -> dict:
    """Best time per call of each function, the repeats alternating between them."""
    best = dict.fromkeys(functions, float("inf"))
    for _ in range(repeats):
        for name, function in functions.items():
            best[name] = min(best[name], timeit.timeit(function, number=number) / number)
    return best


def row(case: str, module: float, reference: float) -> None:
    print(f"| {case} | {module * 1e6:.2f} µs | {reference * 1e6:.2f} µs | {reference / module:.1f}× |")


class Answered:
    def getcode(self):
        return 200

    def read(self):
        return ANSWER


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def _serve(self):
        self.rfile.read(int(self.headers.get("Content-Length") or 0))
        self.send_response(200)
        self.send_header("Content-Length", str(len(ANSWER)))
        self.end_headers()
        self.wfile.write(ANSWER)

    do_GET = do_POST = _serve

    def log_message(self, *args):
        pass


def main() -> None:
    module, reference = tavori_pay.Client(COMMUNITY, SPONSOR), ReferenceClient(COMMUNITY, SPONSOR)
    signature = hmac.new(SPONSOR.encode(), CALLBACK.encode(), hashlib.sha256).hexdigest()
    assert module.verify_callback(CALLBACK, signature) == reference.verify_callback(CALLBACK, signature)
    print(f"Python {sys.version.split()[0]}, {os.cpu_count()} cores; best of 7 alternating repeats\n")
    print("| case | tavori_pay | plain Python | speed-up |")
    print("| --- | --- | --- | --- |")

    times = best_per_call({
        "module": lambda: module.verify_callback(CALLBACK, signature),
        "reference": lambda: reference.verify_callback(CALLBACK, signature),
    }, number=20_000)
    row(f"verify_callback, {len(CALLBACK)} B body", times["module"], times["reference"])

    real_urlopen = urllib.request.urlopen
    urllib.request.urlopen = lambda request: Answered()
    try:
        for case, call in [
            ("create_payment, answered in-process",
             lambda client: client.create_payment(128.0, "CNY", "recipient@example.com",
                                                  "https://shop.example/notify")),
            ("query_order, answered in-process", lambda client: client.query_order("T-20261208-000123")),
        ]:
            times = best_per_call({"module": lambda: call(module), "reference": lambda: call(reference)},
                                  number=5_000)
            row(case, times["module"], times["reference"])
            in_process = times
    finally:
        urllib.request.urlopen = real_urlopen

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True).start()
    os.environ["TAVORI_PAY_BASE_URL"] = f"http://127.0.0.1:{server.server_address[1]}"
    for proxy in ("http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"):
        os.environ.pop(proxy, None)
    try:
        times = best_per_call({
            "module": lambda: module.query_order("T-20261208-000123"),
            "reference": lambda: reference.query_order("T-20261208-000123"),
        }, number=200, repeats=5)
        row("query_order over loopback (round trip)", times["module"], times["reference"])
    finally:
        server.shutdown()
    print(f"\nquery_order's own cost, answered in-process, is {in_process['module'] / times['module']:.1%} "
          f"of a loopback round trip ({in_process['module'] * 1e6:.1f} µs of {times['module'] * 1e6:.0f} µs).")


if __name__ == "__main__":
    main()
