"""The shop against a sandbox of the payment service started for each test,
with the keys in an auth_key.py of a temporary working space."""

import queue
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest

from tavori_pay_sandbox import Account, Sandbox

COMMUNITY, SPONSOR = "shop-community", "shop-sponsor-secret"


@pytest.fixture
def sandbox(settings, tmp_path, monkeypatch):
    (tmp_path / "auth_key.py").write_text(f'COMMUNITY_KEY = "{COMMUNITY}"\nSPONSOR_KEY = "{SPONSOR}"\n')
    settings.WORKING_SPACE = str(tmp_path)
    for proxy in ("http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"):
        monkeypatch.delenv(proxy, raising=False)
    with Sandbox(accounts=[Account(COMMUNITY, SPONSOR, "Example Shop")], callback_first_delay=0.05,
                 sweep_interval=0.02, log=lambda line: None) as service:
        monkeypatch.setenv("TAVORI_PAY_BASE_URL", service.url)
        yield service


class CallbackCatcher:
    """Stands where the shop's public address would be and keeps what the
    service posts there, for the test to hand to Django's test client."""

    def __init__(self):
        self.received: queue.Queue = queue.Queue()
        catcher = self

        class Handler(BaseHTTPRequestHandler):
            def do_POST(self):
                body = self.rfile.read(int(self.headers["Content-Length"]))
                catcher.received.put((self.path, body, self.headers["X-Tavori-Signature"]))
                self.send_response(200)
                self.send_header("Content-Length", "7")
                self.end_headers()
                self.wfile.write(b"success")

            def log_message(self, *args):
                pass

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}"
        threading.Thread(target=self.server.serve_forever, kwargs={"poll_interval": 0.01}, daemon=True).start()

    def next(self):
        return self.received.get(timeout=10)


@pytest.fixture
def catcher(settings):
    catcher = CallbackCatcher()
    settings.TAVORI_PAY = {**settings.TAVORI_PAY, "PUBLIC_URL": catcher.url}
    yield catcher
    catcher.server.shutdown()
    catcher.server.server_close()
