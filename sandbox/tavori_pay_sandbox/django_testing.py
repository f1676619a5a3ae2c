"""The sandbox for Django's own test runner (`manage.py test`), in one line:

    from django.test import LiveServerTestCase
    from tavori_pay_sandbox.django_testing import SandboxMixin

    class CheckoutTests(SandboxMixin, LiveServerTestCase):
        def test_a_payment_is_paid(self):
            payment = start_payment(Decimal("12.50"), "CNY", reference="o-1", recipient_account="artist")
            self.tavori_sandbox.pay(payment.order_id)
            self.tavori_sandbox.wait_for_deliveries(payment.order_id, count=1)

The class gets one sandbox, reset before each test, with
TAVORI_PAY_BASE_URL pointing at it, TAVORI_PAY's keys its account's,
WORKING_SPACE a folder whose auth_key.py holds them (for a plain
`tavori_pay.Client()`), and, on a LiveServerTestCase, PUBLIC_URL the live
server's address, so that callbacks reach the project under test. It is
quiet: the sandbox logs nothing to the console. After each test it waits
for the callbacks under way and the receivers they set off, before the
test database is emptied. With TestCase the callbacks
have nowhere to go; post them yourself with `tavori_sandbox.sign(body)`."""

from __future__ import annotations

import os
import shutil
import tempfile
from pathlib import Path
from typing import TYPE_CHECKING, Any

from django.conf import settings
from django.test.utils import override_settings

from .server import Sandbox, no_proxy_with_loopback

if TYPE_CHECKING:  # a mixin for Django's test cases
    from django.test import SimpleTestCase as MixedInto
else:
    MixedInto = object


class SandboxMixin(MixedInto):
    tavori_sandbox: Sandbox

    @classmethod
    def setUpClass(cls) -> None:
        super().setUpClass()  # a live server is up after this
        sandbox = Sandbox(settle_delay=60, callback_first_delay=1.0, log=lambda line: None).start()
        working_space = Path(tempfile.mkdtemp(prefix="tavori-working-space-"))
        sandbox.write_key_file(working_space)
        given = getattr(settings, "TAVORI_PAY", None) or {}
        public_url = getattr(cls, "live_server_url", None) or given.get("PUBLIC_URL") or "http://testserver"
        override = override_settings(
            TAVORI_PAY={**given, "COMMUNITY_KEY": sandbox.community_key, "SPONSOR_KEYS": [sandbox.sponsor_key],
                        "PUBLIC_URL": public_url},
            WORKING_SPACE=str(working_space))
        override.enable()
        environment = {name: os.environ.get(name) for name in ("TAVORI_PAY_BASE_URL", "NO_PROXY")}
        os.environ["TAVORI_PAY_BASE_URL"] = sandbox.url
        os.environ["NO_PROXY"] = no_proxy_with_loopback(environment["NO_PROXY"])
        cls.tavori_sandbox = sandbox

        def undo() -> None:
            override.disable()
            sandbox.stop()
            for name, value in environment.items():
                if value is None:
                    os.environ.pop(name, None)
                else:
                    os.environ[name] = value
            shutil.rmtree(working_space, ignore_errors=True)

        cls.addClassCleanup(undo)

    def setUp(self) -> None:
        super().setUp()
        self.tavori_sandbox.reset()
        self.addCleanup(self._let_deliveries_land)

    def check_payment_flows(self, *, start: Any, invariant: Any, examples: int = 50) -> None:
        """tavori_pay_django.testing.check_payment_flows with this class's
        sandbox: the shop's `start()` and its real receivers through every
        way a payment can go, `invariant(payment)` after each step. Needs a
        TransactionTestCase or LiveServerTestCase."""
        from tavori_pay_django.testing import check_payment_flows

        check_payment_flows(self.tavori_sandbox, start=start, invariant=invariant, examples=examples)

    def _let_deliveries_land(self) -> None:
        """Before the test database is emptied: a callback still arriving, or
        receivers still running after its answer, would write into it."""
        try:
            self.tavori_sandbox.wait_for_deliveries(timeout=5)
        except TimeoutError:
            pass
