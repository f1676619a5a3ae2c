"""The whole payment flow on this machine, offline: the local sandbox of the
payment service, a notify receiver standing in for the shop, and tavori_pay
between them. Exits 0 only when every step held.

    make demo        (or: .venv/bin/python examples/demo.py)
"""

from __future__ import annotations

import os
import queue
import re
import signal
import subprocess
import sys
import tempfile
import threading
import urllib.request
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

import tavori_pay

COMMUNITY_KEY, SPONSOR_KEY = "demo-shop", "demo-sponsor-secret"
WAIT = 15  # seconds any one step may take


def step(text: str) -> None:
    print(f"\n== {text}")


class NotifyReceiver:
    """The shop's notify URL: records each callback and answers "success"."""

    def __init__(self) -> None:
        received: queue.Queue = queue.Queue()

        class Handler(BaseHTTPRequestHandler):
            def do_POST(self) -> None:
                body = self.rfile.read(int(self.headers.get("Content-Length") or 0)).decode()
                received.put((body, self.headers.get("X-Tavori-Signature", "")))
                self.send_response(200)
                self.send_header("Content-Length", "7")
                self.end_headers()
                self.wfile.write(b"success")

            def log_message(self, *args) -> None:
                pass

        self.received = received
        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}/payments/notify"
        threading.Thread(target=self.server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True).start()

    def next(self) -> tuple[str, str]:
        return self.received.get(timeout=WAIT)

    def stop(self) -> None:
        self.server.shutdown()
        self.server.server_close()


def start_sandbox(directory: str) -> tuple[subprocess.Popen, str]:
    process = subprocess.Popen(
        [sys.executable, "-m", "tavori_pay_sandbox", "--port", "0", "--db", str(Path(directory, "sandbox.sqlite3")),
         "--account", f"{COMMUNITY_KEY}:{SPONSOR_KEY}", "--retry-delay", "0.2"],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    first = process.stdout.readline()
    match = re.search(r"listening on (http://\S+)", first)
    if not match:
        process.kill()
        raise SystemExit(f"the sandbox did not start: {first!r}")
    return process, match.group(1)


def check(condition: bool, what: str) -> None:
    if not condition:
        raise AssertionError(what)
    print(f"   ok: {what}")


def run(sandbox_url: str, receiver: NotifyReceiver) -> None:
    os.environ["TAVORI_PAY_BASE_URL"] = sandbox_url
    for proxy in ("http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"):
        os.environ.pop(proxy, None)
    client = tavori_pay.Client(COMMUNITY_KEY, SPONSOR_KEY)

    step(f"create a split payment of 128.00 CNY at {sandbox_url}")
    payment = client.create_payment(128.0, "CNY", "artist@example.com", receiver.url)
    print(f"   {payment!r}")
    check(payment.pay_url.startswith(sandbox_url), "the pay URL is the sandbox's pay page")

    step("the payer opens the pay page and presses Pay")
    page = urllib.request.urlopen(payment.pay_url, timeout=WAIT).read().decode()
    share = re.search(r"receives ([0-9.]+) CNY", page)
    print(f"   the page shows 128.00 CNY, the recipient's share {share.group(1) if share else '?'} CNY")
    check("id='pay'" in page, "the page offers Pay")
    action = re.search(r"action='(/pay/[^']+/pay)'", page).group(1)
    after = urllib.request.urlopen(urllib.request.Request(sandbox_url + action, b"", method="POST"),
                                   timeout=WAIT).read().decode()
    check("is paid" in after, "the order reads as paid after paying")

    for expected in ("paid", "settled"):
        step(f"the service calls back: {expected}")
        body, signature = receiver.next()
        print(f"   body      {body}")
        print(f"   signature {signature}")
        fields = client.verify_callback(body, signature)
        print(f"   verified  {fields}")
        check(fields["status"] == expected and fields["order_id"] == payment.order_id,
              f"a genuine {expected} callback for {payment.order_id}")

    step("a forged callback is refused")
    try:
        client.verify_callback(body.replace("128.00", "1.00"), signature)
    except RuntimeError as error:
        check(str(error) == "Invalid callback signature", f"refused: {error}")
    else:
        raise AssertionError("a forged callback was accepted")

    step("the merchant refunds the order from another terminal: tavori-sandbox trigger ORDER_ID refund")
    refund = subprocess.run([sys.executable, "-m", "tavori_pay_sandbox", "trigger", payment.order_id, "refund",
                             "--url", sandbox_url], capture_output=True, text=True, timeout=WAIT)
    print(f"   {refund.stdout.strip() or refund.stderr.strip()}")
    body, signature = receiver.next()
    fields = client.verify_callback(body, signature)
    print(f"   verified  {fields}")
    check(fields["status"] == "refunded", "a genuine refunded callback")

    step("query the order with a signed request")
    status = client.query_order(payment.order_id)
    print(f"   {status!r}")
    for name in ("pay_status_text", "settle_status_text", "refund_status_text", "amount", "settle_amount",
                 "expired", "fail_reason"):
        print(f"   {name:<19}{getattr(status, name)!r}")
    check((status.pay_status_text, status.settle_status_text, status.refund_status_text)
          == ("paid", "reversed", "refunded"), "paid, then refunded and its settlement reversed")
    check(status.amount == "128.00" and status.settle_amount == "89.60", "the settled amount was 89.60 of 128.00")


def main() -> int:
    print(f"tavori_pay {tavori_pay.__version__}: the payment flow against the local sandbox")
    with tempfile.TemporaryDirectory() as directory:
        sandbox, url = start_sandbox(directory)
        receiver = NotifyReceiver()
        try:
            run(url, receiver)
        except Exception as error:
            print(f"\nFAILED: {type(error).__name__}: {error}")
            return 1
        finally:
            receiver.stop()
            sandbox.send_signal(signal.SIGINT)
            try:
                sandbox.wait(timeout=WAIT)
            except subprocess.TimeoutExpired:
                sandbox.kill()
    print("\nThe whole flow held.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
