"""The shop against the sandbox of the payment service that tavori-pay's
pytest plugin provides, and a catcher standing where the shop's public
address would be."""

import queue
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest


@pytest.fixture(scope="session")
def django_db_modify_db_settings(tmp_path_factory):
    """A test database in a file, not in memory: then each of the live
    server's request threads has a connection of its own, as in production,
    instead of all of them sharing one."""
    from django.conf import settings

    database = settings.DATABASES["default"]
    database["TEST"]["NAME"] = str(tmp_path_factory.mktemp("shop-db") / "shop.sqlite3")
    database.setdefault("OPTIONS", {})["timeout"] = 20


@pytest.fixture
def sandbox(tavori_sandbox, settings):
    """The sandbox of tavori-pay's pytest plugin: reset for each test, with
    the service address and TAVORI_PAY's keys pointing at it."""
    settings.WORKING_SPACE = None  # the keys come from the settings, not an auth_key.py
    return tavori_sandbox


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
