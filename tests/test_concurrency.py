import re
import threading
from urllib.parse import parse_qs, urlsplit

from conftest import run_python, sign

from tavori_pay import Client


def nonce_of(request) -> str:
    if request.method == "GET":
        return parse_qs(urlsplit(request.path).query)["nonce"][0]
    return parse_qs(request.body.decode())["nonce"][0]


def test_threads_sharing_one_client_all_succeed_with_distinct_nonces(service):
    service.answer(200, {"data": {"order_id": "T", "pay_url": "u", "pay_status": 1}})
    client = Client("c", "s")
    failures = []

    def work():
        try:
            for i in range(15):
                assert client.query_order(f"o{i}").pay_status == 1
                assert client.create_payment(i, "CNY", "a", "n").order_id == "T"
                assert client.verify_callback("{}", sign("s", "{}")) == {}
        except Exception as error:  # reported below with the thread's failure
            failures.append(error)

    threads = [threading.Thread(target=work) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
    nonces = [nonce_of(request) for request in service.requests]
    assert len(nonces) == 8 * 15 * 2
    assert len(set(nonces)) == len(nonces)
    assert all(re.fullmatch(r"[0-9a-f]{32}", nonce) for nonce in nonces)


def test_forked_child_draws_nonces_different_from_its_parent():
    result = run_python("""
        import os, urllib.error, urllib.request
        from urllib.parse import parse_qs, urlsplit
        from tavori_pay import Client

        seen = []
        def urlopen(request):
            seen.append(parse_qs(urlsplit(request.full_url).query)["nonce"][0])
            raise urllib.error.URLError("offline")
        urllib.request.urlopen = urlopen
        client = Client("c", "s")

        def draw(count):
            for _ in range(count):
                try:
                    client.query_order("x")
                except urllib.error.URLError:
                    pass

        draw(5)
        reader, writer = os.pipe()
        pid = os.fork()
        if pid == 0:
            seen.clear()
            draw(50)
            os.write(writer, " ".join(seen).encode())
            os._exit(0)
        os.close(writer)
        seen.clear()
        draw(50)
        os.waitpid(pid, 0)
        child = os.read(reader, 1 << 16).decode().split()
        print(len(child), len(set(child) | set(seen)))
    """)
    assert result.stdout.split() == ["50", "100"], result.stderr
