"""The `tavori_sandbox` fixture, registered with pytest through the
distribution's pytest11 entry point.

One sandbox serves the whole test session; each test gets it reset (no
orders, no faults, the clock back), with TAVORI_PAY_BASE_URL pointing at it
and, in a Django project, TAVORI_PAY's keys set to its account's."""

from __future__ import annotations

import os

import pytest

from .server import Sandbox


@pytest.fixture(scope="session")
def tavori_sandbox_server():
    """The session's sandbox; use `tavori_sandbox`, which resets it for each test."""
    # Settlement waits for the test: settle(order_id), or advance(60) on the clock.
    with Sandbox(settle_delay=60, callback_first_delay=0.05, sweep_interval=0.05,
                 log=lambda line: None) as sandbox:
        yield sandbox


@pytest.fixture
def tavori_sandbox(tavori_sandbox_server, monkeypatch):
    """A running tavori_pay_sandbox.Sandbox, reset for this test, with
    TAVORI_PAY_BASE_URL (and a Django project's TAVORI_PAY keys) pointing at it."""
    sandbox = tavori_sandbox_server
    sandbox.reset()
    monkeypatch.setenv("TAVORI_PAY_BASE_URL", sandbox.url)
    # Loopback never goes through a proxy the environment may name.
    monkeypatch.setenv("NO_PROXY", ",".join(filter(None, [os.environ.get("NO_PROXY"), "127.0.0.1", "localhost"])))
    overridden = _override_django_keys(sandbox)
    try:
        yield sandbox
    finally:
        if overridden is not None:
            overridden.disable()
        # Let this test's callbacks land before the next test's reset; one
        # stuck on an unanswering notify URL is the next reset's to drop.
        try:
            sandbox.wait_for_deliveries(timeout=5)
        except TimeoutError:
            pass


def _override_django_keys(sandbox: Sandbox):
    try:
        from django.conf import settings
    except ImportError:
        return None
    if not settings.configured:
        return None
    from django.test.utils import override_settings

    keys = {"COMMUNITY_KEY": sandbox.community_key, "SPONSOR_KEYS": [sandbox.sponsor_key]}
    override = override_settings(TAVORI_PAY={**(getattr(settings, "TAVORI_PAY", None) or {}), **keys})
    override.enable()
    return override
