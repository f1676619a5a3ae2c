"""Input meant to break things gets a clear exception or a correct answer:
never a crash, a hang, or a silent wrong result."""

import json
import socket
import threading
from urllib.parse import quote

import pytest
from conftest import run_python, sign, write_key_file

from tavori_pay import Client

MIB = 1 << 20
EVERY_CHARACTER = "".join(chr(c) for c in range(0x110000) if not 0xD800 <= c <= 0xDFFF)


def test_ten_mebibyte_callbacks(client):
    body = json.dumps({"status": "paid", "order_id": "x" * (10 * MIB)})
    assert client.verify_callback(body, sign("sponsor-key", body))["order_id"] == "x" * (10 * MIB)
    broken = body[:-1]
    with pytest.raises(RuntimeError, match=r"^Invalid JSON body: unexpected end of input at line 1 column \d+$"):
        client.verify_callback(broken, sign("sponsor-key", broken))


def test_a_hundred_thousand_levels_of_nesting(client):
    for body in ("[" * 100_000 + "]" * 100_000, '{"a":' * 100_000 + "1" + "}" * 100_000):
        with pytest.raises(RuntimeError, match="^Invalid JSON body: nesting of 128 levels or more at line 1 column "):
            client.verify_callback(body, sign("sponsor-key", body))


def test_every_character_in_keys_and_bodies():
    client = Client(EVERY_CHARACTER, EVERY_CHARACTER)
    body = json.dumps({"status": EVERY_CHARACTER, "reason": EVERY_CHARACTER[:200]}, ensure_ascii=False)
    assert client.verify_callback(body, sign(EVERY_CHARACTER, body)) == {
        "status": EVERY_CHARACTER, "reason": EVERY_CHARACTER[:200]}
    escaped = json.dumps({"status": EVERY_CHARACTER})
    assert client.verify_callback(escaped, sign(EVERY_CHARACTER, escaped)) == {"status": EVERY_CHARACTER}


def test_every_character_in_an_order_id_is_encoded(client, service):
    order_id = EVERY_CHARACTER[:0x800] + "\uffff\U0001f600\U0010ffff"  # every UTF-8 byte value
    client.query_order(order_id)
    assert service.last.path.endswith("&order_id=" + quote(order_id, safe=""))


def test_an_order_id_too_long_for_the_server_is_its_http_error(client, service):
    with pytest.raises(RuntimeError, match="^HTTP 414: "):
        client.query_order(EVERY_CHARACTER[:100_000])


def test_fifty_mebibyte_key_file(tmp_path, monkeypatch, service):
    monkeypatch.chdir(tmp_path)
    monkeypatch.delenv("IS_LAN", raising=False)
    filler = ("# " + "x" * 1022 + "\n") * (50 * 1024)
    write_key_file(tmp_path, filler + "COMMUNITY_KEY = 'late-c'\nSPONSOR_KEY = 'late-s'\n")
    client = Client()
    assert client.verify_callback("{}", sign("late-s", "{}")) == {}
    write_key_file(tmp_path, filler)
    with pytest.raises(RuntimeError, match="^COMMUNITY_KEY not found in auth_key.py$"):
        Client()


def test_a_hundred_mebibyte_answer(client, service):
    service.answer(200, b'{"data": {"order_id": "' + b"7" * (100 * MIB) + b'", "pay_url": "u"}}')
    result = client.create_payment(1, "CNY", "a", "n")
    assert len(result.order_id) == 100 * MIB and result.pay_url == "u"
    service.answer(500, b"\xff" * (100 * MIB))
    with pytest.raises(RuntimeError) as raised:
        client.query_order("x")
    assert len(str(raised.value)) == len("HTTP 500: ") + 100 * MIB


@pytest.fixture
def silent_server():
    """Accepts connections and never answers."""
    listener = socket.create_server(("127.0.0.1", 0))
    held = []
    stop = threading.Event()

    def accept():
        listener.settimeout(0.1)
        while not stop.is_set():
            try:
                held.append(listener.accept()[0])
            except OSError:
                continue

    thread = threading.Thread(target=accept, daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{listener.getsockname()[1]}"
    stop.set()
    thread.join()
    for connection in held:
        connection.close()
    listener.close()


def test_a_server_that_never_answers_is_bounded_by_the_socket_timeout(silent_server):
    # A first request to a refusing port loads everything urllib imports on first
    # use (under a sanitizer that alone takes seconds), so the clock measures the wait.
    result = run_python(f"""
        import os, socket, time
        from tavori_pay import Client
        closed = socket.create_server(("127.0.0.1", 0))
        os.environ["TAVORI_PAY_BASE_URL"] = "http://127.0.0.1:%d" % closed.getsockname()[1]
        closed.close()
        client = Client("c", "s")
        try:
            client.query_order("x")
        except OSError:
            pass
        socket.setdefaulttimeout(0.5)
        os.environ["TAVORI_PAY_BASE_URL"] = {silent_server!r}
        started = time.monotonic()
        try:
            client.query_order("x")
        except Exception as error:
            print(type(error).__name__, time.monotonic() - started)
    """, env={"no_proxy": "*"})
    name, seconds = result.stdout.split()
    assert name in ("TimeoutError", "URLError") and float(seconds) < 5, result.stderr
