"""The app's tests run on SQLite, and on a PostgreSQL cluster or a MariaDB
server started for the session when TAVORI_TEST_DATABASE=postgresql or
mariadb. The service is the sandbox,
started for each test that needs it."""

from __future__ import annotations

import importlib.util
import json
import os
import subprocess
import sys
import threading
import time
from collections.abc import Callable
from pathlib import Path

import mariadb_server
import postgres_cluster
import pytest
from django.db import connection, connections

from tavori_pay_sandbox import Account, Sandbox
from tavori_pay_sandbox.rules import sign

pytest_plugins = ["pytester"]  # a shop's own project, run as the shop would (test_payment_flows.py)

COMMUNITY, SPONSOR = "shop-community", "shop-sponsor-secret"
ON_POSTGRES = os.environ.get("TAVORI_TEST_DATABASE") == "postgresql"
ON_MARIADB = os.environ.get("TAVORI_TEST_DATABASE") == "mariadb"
# Databases where writers wait for each other's rows rather than for the one
# write lock SQLite has.
ROW_LOCKS = ON_POSTGRES or ON_MARIADB


def missing(hint: str) -> None:
    """A test part that is not installed: CI fails for it, a developer's run skips."""
    if os.environ.get("CI"):
        pytest.fail(hint)
    pytest.skip(hint)


@pytest.fixture(scope="session")
def postgres():
    binaries = postgres_cluster.server_binaries()
    if binaries is None:
        missing(postgres_cluster.INSTALL_HINT)
    cluster = postgres_cluster.Cluster(binaries).start()
    yield cluster
    cluster.remove()


@pytest.fixture(scope="session")
def mariadb():
    binary = mariadb_server.server_binary()
    if binary is None or importlib.util.find_spec("MySQLdb") is None:
        missing(mariadb_server.INSTALL_HINT)
    server = mariadb_server.Server(binary).start()
    yield server
    server.remove()


@pytest.fixture(scope="session")
def django_db_modify_db_settings(request):
    if ON_POSTGRES or ON_MARIADB:
        from django.conf import settings
        server = request.getfixturevalue("postgres" if ON_POSTGRES else "mariadb")
        for database in settings.DATABASES.values():
            database["PORT"] = str(server.port)


@pytest.fixture
def no_proxy(monkeypatch):
    for proxy in ("http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY", "https_proxy", "HTTPS_PROXY"):
        monkeypatch.delenv(proxy, raising=False)


@pytest.fixture
def sandbox(monkeypatch, no_proxy):
    with Sandbox(accounts=[Account(COMMUNITY, SPONSOR, "Test Shop")], callback_first_delay=0.05,
                 sweep_interval=0.01, log=lambda line: None) as service:
        monkeypatch.setenv("TAVORI_PAY_BASE_URL", service.url)
        yield service


@pytest.fixture
def connect():
    """Connects payment receivers for the test only, each named by its
    function's name (and its place, for lambdas)."""
    from tavori_pay_django.signals import payment_status_changed

    connected = []

    def connect_receiver(function, signal=payment_status_changed):
        name = function.__name__ if function.__name__ != "<lambda>" else f"lambda-{len(connected)}"
        signal.connect(function, weak=False, dispatch_uid=name)
        connected.append((signal, name))
        return function

    yield connect_receiver
    for signal, name in connected:
        signal.disconnect(dispatch_uid=name)


def as_hosts(run: Callable[[], object], hosts: int = 2) -> list[object]:
    """What `run` returns on `hosts` threads at once, each on database
    connections of its own, as separate hosts would run it."""
    results: list[object] = []

    def host() -> None:
        try:
            results.append(run())
        finally:
            connections.close_all()

    threads = [threading.Thread(target=host) for _ in range(hosts)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return results


def in_processes(calls: list[dict]) -> list[str]:
    """What each call prints, each made by a process of its own, released together."""
    settings = connection.settings_dict
    processes = [subprocess.Popen([sys.executable, str(Path(__file__).with_name("in_process.py")), settings["NAME"],
                                   str(settings["PORT"])], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                  cwd=Path(__file__).parent) for _ in calls]
    for process, call in zip(processes, calls, strict=True):
        process.stdin.write(json.dumps(call) + "\n")
        process.stdin.flush()
    assert [process.stdout.readline() for process in processes] == ["ready\n"] * len(calls)
    for process in processes:
        process.stdin.write("go\n")
        process.stdin.flush()
    printed = [process.communicate(timeout=60)[0].strip() for process in processes]
    assert [process.returncode for process in processes] == [0] * len(calls)
    return printed


def signed(fields: dict, key: str = SPONSOR) -> tuple[bytes, str]:
    body = json.dumps(fields)
    return body.encode(), sign(key, body)


def callback_fields(payment, status: str = "paid", **changes) -> dict:
    fields = {"status": status, "order_id": payment.order_id, "amount": str(payment.amount),
              "settle_amount": "", "reason": "", "expired": "2026-12-08 12:00:00"}
    fields.update(changes)
    return fields


def post_callback(client, body: bytes, signature: str, query: str = ""):
    return client.post(f"/payments/notify/{query}", body, content_type="application/json",
                       HTTP_X_TAVORI_SIGNATURE=signature)


def wait_until(condition: Callable[[], object], seconds: float = 10.0) -> bool:
    """Whether `condition` held within `seconds`, asked again and again: a
    commit in another thread or process has no event to wait on."""
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True
