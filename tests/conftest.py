"""Fixtures shared by the suite: a recording HTTP server on 127.0.0.1, key
files in temporary working spaces, HMAC helpers and fresh interpreters."""

from __future__ import annotations

import hashlib
import hmac
import json
import os
import subprocess
import sys
import textwrap
import threading
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

import pytest
from notify_receiver import Receiver

import tavori_pay

pytest_plugins = ["pytester"]  # for the tests of the sandbox's pytest plugin


def sign(key: str, body: str) -> str:
    """The signature the service puts on a callback body."""
    return hmac.new(key.encode(), body.encode(), hashlib.sha256).hexdigest()


@dataclass
class Recorded:
    method: str
    path: str
    body: bytes
    headers: dict[str, str]


Answer = tuple[int, bytes]


@dataclass
class Service:
    """A local stand-in for the payment service that records each request and
    answers as the test says (by default, 200 with an empty `data`)."""

    url: str
    requests: list[Recorded] = field(default_factory=list)
    respond: Callable[[Recorded], Answer] = lambda request: (200, b'{"data": {}}')
    lock: threading.Lock = field(default_factory=threading.Lock)

    def answer(self, status: int, body: bytes | str | dict) -> None:
        if isinstance(body, dict):
            body = json.dumps(body)
        if isinstance(body, str):
            body = body.encode()
        self.respond = lambda request: (status, body)

    @property
    def last(self) -> Recorded:
        return self.requests[-1]


class _Handler(BaseHTTPRequestHandler):
    service: Service

    def _serve(self) -> None:
        length = int(self.headers.get("Content-Length") or 0)
        # The request target as sent: http.server collapses a leading "//" in self.path.
        target = self.requestline.split(" ")[1]
        request = Recorded(self.command, target, self.rfile.read(length), dict(self.headers))
        with self.service.lock:
            self.service.requests.append(request)
        status, body = self.service.respond(request)
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    do_GET = do_POST = _serve

    def log_message(self, format: str, *args: object) -> None:
        pass


@pytest.fixture
def service(monkeypatch: pytest.MonkeyPatch):
    server = ThreadingHTTPServer(("127.0.0.1", 0), _Handler)
    server.daemon_threads = True
    url = f"http://127.0.0.1:{server.server_address[1]}"
    recorder = Service(url)
    _Handler.service = recorder
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.01}, daemon=True)
    thread.start()
    monkeypatch.setenv("TAVORI_PAY_BASE_URL", url)
    for proxy in ("http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"):
        monkeypatch.delenv(proxy, raising=False)
    try:
        yield recorder
    finally:
        server.shutdown()
        server.server_close()


@pytest.fixture
def receiver() -> Iterator[Receiver]:
    receiver = Receiver()
    yield receiver
    receiver.server.shutdown()
    receiver.server.server_close()


@pytest.fixture
def client() -> tavori_pay.Client:
    return tavori_pay.Client("community-key", "sponsor-key")


def write_key_file(directory: Path, text: str | bytes) -> Path:
    path = directory / "auth_key.py"
    if isinstance(text, str):
        text = text.encode()
    path.write_bytes(text)
    return path


def run_python(code: str, *, cwd: Path | None = None, env: dict[str, str] | None = None,
               without_django: bool = False) -> subprocess.CompletedProcess[str]:
    """Runs a snippet in a fresh interpreter of this venv; `without_django`
    hides the framework as if it were not installed."""
    environment = {k: v for k, v in os.environ.items() if k not in ("IS_LAN", "DJANGO_SETTINGS_MODULE")}
    environment.update(env or {})
    prelude = ""
    if without_django:
        prelude = "import sys\nsys.modules['django'] = None\nsys.modules['django.conf'] = None\n"
    return subprocess.run(
        [sys.executable, "-c", prelude + textwrap.dedent(code)],
        cwd=cwd, env=environment, capture_output=True, text=True, timeout=120,
    )
