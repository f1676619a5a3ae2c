"""A notify URL for tests: an HTTP server on 127.0.0.1 that records the
callbacks it is sent, failing or redirecting the first ones when asked."""

from __future__ import annotations

import queue
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from tavori_pay import Client


class Receiver:
    """A notify URL that records callbacks; the first `failures` answers are
    500, and the first of `redirects` (status, Location) are redirects to a
    page that answers any GET with 200, as a login page would."""

    def __init__(self, failures: int = 0):
        self.callbacks: queue.Queue = queue.Queue()
        self.failures = failures
        self.redirects: list[tuple[int, str]] = []
        receiver = self

        class Handler(BaseHTTPRequestHandler):
            def do_GET(self):
                self.send_response(200)
                self.send_header("Content-Length", "5")
                self.end_headers()
                self.wfile.write(b"login")

            def do_POST(self):
                body = self.rfile.read(int(self.headers["Content-Length"])).decode()
                if receiver.redirects:
                    status, location = receiver.redirects.pop(0)
                    self.send_response(status)
                    self.send_header("Location", location)
                    self.send_header("Content-Length", "0")
                    self.end_headers()
                    return
                failing = receiver.failures > 0
                receiver.failures -= failing
                # Kept before answering: the sandbox sends an order's next
                # callback only after this answer, so the queue keeps their order.
                if not failing:
                    receiver.callbacks.put((body, self.headers["X-Tavori-Signature"]))
                self.send_response(500 if failing else 200)
                self.send_header("Content-Length", "7")
                self.end_headers()
                self.wfile.write(b"success")

            def log_message(self, *args):
                pass

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}/notify"
        threading.Thread(target=self.server.serve_forever, kwargs={"poll_interval": 0.01}, daemon=True).start()

    def next(self, client: Client) -> dict:
        body, signature = self.callbacks.get(timeout=10)
        return client.verify_callback(body, signature)
