"""The `tavori_sandbox` fixture, registered with pytest through the
distribution's pytest11 entry point.

One sandbox serves the whole test session; each test gets it reset (no
orders, no faults, the clock back), with TAVORI_PAY_BASE_URL pointing at it
and, in a Django project, TAVORI_PAY's keys set to its account's and
WORKING_SPACE to a folder whose auth_key.py holds them, so that a plain
`tavori_pay.Client()` finds them too. Callbacks are retried on the service's
own schedule (1, 3, 7, 15 s after the first attempt) on the sandbox's clock:
`advance()` brings each retry on."""

from __future__ import annotations

import os
from collections.abc import Iterator
from typing import TYPE_CHECKING

import pytest

from .server import Sandbox, no_proxy_with_loopback

if TYPE_CHECKING:
    from django.test.utils import override_settings


@pytest.fixture(scope="session")
def tavori_sandbox_server(tmp_path_factory: pytest.TempPathFactory) -> Iterator[Sandbox]:
    """The session's sandbox; use `tavori_sandbox`, which resets it for each test."""
    # Settlement waits for the test: settle(order_id), or advance(60) on the clock.
    with Sandbox(settle_delay=60, callback_first_delay=1.0, sweep_interval=0.05,
                 log=lambda line: None) as sandbox:
        sandbox.working_space = tmp_path_factory.mktemp("tavori-working-space")
        sandbox.write_key_file(sandbox.working_space)
        yield sandbox


@pytest.fixture
def tavori_sandbox(tavori_sandbox_server: Sandbox, monkeypatch: pytest.MonkeyPatch,
                   request: pytest.FixtureRequest) -> Iterator[Sandbox]:
    """A running tavori_pay_sandbox.Sandbox, reset for this test, with
    TAVORI_PAY_BASE_URL pointing at it, and a Django project's TAVORI_PAY
    keys and WORKING_SPACE its account's; `working_space` is the folder of
    its auth_key.py."""
    sandbox = tavori_sandbox_server
    sandbox.reset()
    monkeypatch.setenv("TAVORI_PAY_BASE_URL", sandbox.url)
    monkeypatch.setenv("NO_PROXY", no_proxy_with_loopback(os.environ.get("NO_PROXY")))
    overridden = _point_django_at(sandbox, request)
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


def _point_django_at(sandbox: Sandbox, request: pytest.FixtureRequest) -> override_settings | None:
    """Sets the keys and the working space through pytest-django's `settings`
    fixture where there is one, so that a test's own changes to TAVORI_PAY
    are undone in the order they were made; else through override_settings,
    which is returned to be disabled."""
    try:
        from django.conf import settings
    except ImportError:
        return None
    if not settings.configured:
        return None
    keys = {"COMMUNITY_KEY": sandbox.community_key, "SPONSOR_KEYS": [sandbox.sponsor_key]}
    changes = {"TAVORI_PAY": {**(getattr(settings, "TAVORI_PAY", None) or {}), **keys},
               "WORKING_SPACE": str(sandbox.working_space)}
    try:
        django_settings = request.getfixturevalue("settings")
    except pytest.FixtureLookupError:
        from django.test.utils import override_settings

        override = override_settings(**changes)
        override.enable()
        return override
    for name, value in changes.items():
        setattr(django_settings, name, value)
    return None
