"""check_payment_flows, as a shop runs it: a scratch project whose receiver
mails a confirmation to a file (the mailbox), its tests run under the
pytest plugin and Django's own test case. A receiver that mails with no
claim on the event fails, with the shortest sequence of steps that shows
it; the same receiver mailing under once() passes."""

from __future__ import annotations

import re
import textwrap
from pathlib import Path

import pytest
from conftest import ON_MARIADB, ON_POSTGRES

SETTINGS = """
    from pathlib import Path

    SECRET_KEY = "scratch"
    USE_TZ = True
    INSTALLED_APPS = ["django.contrib.auth", "django.contrib.contenttypes", "tavori_pay_django", "shop"]
    DATABASES = {"default": {"ENGINE": "django.db.backends.sqlite3", "NAME": "unused.sqlite3",
                             "OPTIONS": {"transaction_mode": "IMMEDIATE"}}}
    ROOT_URLCONF = "urls"
    DEFAULT_AUTO_FIELD = "django.db.models.BigAutoField"
    TAVORI_PAY = {"PUBLIC_URL": "http://127.0.0.1:9"}
    MAILBOX = Path(__file__).with_name("mailbox")
"""
URLS = """
    from django.urls import include, path

    urlpatterns = [path("payments/", include("tavori_pay_django.urls"))]
"""
APPS = """
    from django.apps import AppConfig

    class ShopConfig(AppConfig):
        name = "shop"

        def ready(self):
            from . import receivers  # noqa: F401
"""
# The shop's order is a Group here: the receiver marks it fulfilled.
RECEIVERS = """
    from django.conf import settings
    from django.contrib.auth.models import Group
    from django.dispatch import receiver
    from tavori_pay_django import once
    from tavori_pay_django.signals import payment_status_changed

    CAREFUL = False  # the tests set it: mail under once()

    def send_confirmation(order):
        with open(settings.MAILBOX, "a") as mailbox:
            mailbox.write(f"{order.pk}\\n")

    @receiver(payment_status_changed)
    def fulfil(sender, payment, new, event, **kwargs):
        if new != "paid" or payment.order is None:
            return
        order = Group.objects.select_for_update().get(pk=payment.order.pk)
        if order.name.endswith(" fulfilled"):
            return
        if CAREFUL:
            with once(event, "confirmation email") as due:
                if due:
                    send_confirmation(order)
        else:
            send_confirmation(order)
        order.name += " fulfilled"
        order.save()
"""
CHECKS = """
    from decimal import Decimal

    from django.conf import settings
    from django.contrib.auth.models import Group
    from tavori_pay_django import start_payment

    def start():
        order = Group.objects.create(name=f"order {Group.objects.count() + 1}")
        return start_payment(Decimal("10.00"), "CNY", reference=f"order-{order.pk}", recipient_account="artist",
                             order=order)

    def empty_mailbox():
        # Each test's own: order numbers start again with its database.
        settings.MAILBOX.unlink(missing_ok=True)

    def one_email_for_a_fulfilled_order(payment):
        sent = settings.MAILBOX.read_text().split().count(payment.order_key) if settings.MAILBOX.exists() else 0
        assert sent <= 1, f"order {payment.order_key}: {sent} confirmation emails"
        if Group.objects.get(pk=payment.order_key).name.endswith(" fulfilled"):
            assert sent == 1, f"order {payment.order_key} fulfilled with no confirmation email"
"""
UNDER_PYTEST = """
    import hypothesis
    import pytest
    from tavori_pay_django.testing import check_payment_flows

    from checks import empty_mailbox, one_email_for_a_fulfilled_order, start
    from shop import receivers

    # The same examples on every run, as a shop's CI may want them.
    hypothesis.settings.register_profile("same every run", derandomize=True)
    hypothesis.settings.load_profile("same every run")

    @pytest.mark.django_db(transaction=True)
    @pytest.mark.parametrize("careful", [False, True])
    def test_every_fulfilled_order_gets_one_email(tavori_sandbox, monkeypatch, careful):
        monkeypatch.setattr(receivers, "CAREFUL", careful)
        empty_mailbox()
        check_payment_flows(tavori_sandbox, start=start, invariant=one_email_for_a_fulfilled_order)
"""
UNDER_DJANGO = """
    from django.test import TransactionTestCase
    from tavori_pay_sandbox.django_testing import SandboxMixin

    from checks import empty_mailbox, one_email_for_a_fulfilled_order, start
    from shop import receivers

    class PaymentFlows(SandboxMixin, TransactionTestCase):
        def test_every_fulfilled_order_gets_one_email(self):
            receivers.CAREFUL = True
            self.addCleanup(setattr, receivers, "CAREFUL", False)
            empty_mailbox()
            self.check_payment_flows(start=start, invariant=one_email_for_a_fulfilled_order, examples=10)
"""


@pytest.mark.skipif(ON_POSTGRES or ON_MARIADB, reason="the scratch project is on SQLite whatever the suite's database")
def test_a_receiver_that_mails_without_a_claim_fails_with_the_steps_and_one_using_once_passes(pytester, monkeypatch,
                                                                                               no_proxy):
    monkeypatch.setenv("PYTHONPATH", str(Path(__file__).resolve().parents[1]))  # the app as these tests run it
    pytester.makepyfile(settings=textwrap.dedent(SETTINGS), urls=textwrap.dedent(URLS),
                        checks=textwrap.dedent(CHECKS), test_under_pytest=textwrap.dedent(UNDER_PYTEST),
                        test_under_django=textwrap.dedent(UNDER_DJANGO))
    pytester.mkpydir("shop")
    pytester.makepyfile(**{"shop/apps": textwrap.dedent(APPS), "shop/receivers": textwrap.dedent(RECEIVERS)})
    result = pytester.runpytest_subprocess("-p", "pytest_django", "--ds", "settings", "-p", "no:cacheprovider")
    result.assert_outcomes(passed=2, failed=1)
    output = result.stdout.str()
    steps = re.search(r"PaymentFlowFailed: (start → .*)", output)
    assert steps is not None, output
    assert steps[1].startswith("start → pay → ") and "delivery cut off after shop.receivers.fulfil returned" in steps[1]
    assert re.search(r"AssertionError: order \d+: 2 confirmation emails", output)
