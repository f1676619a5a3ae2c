"""manage.py check: what would make payments fail is reported before the
first callback, naming the setting or the line, never a key's value."""

from __future__ import annotations

import io

import pytest
from django.core import checks
from django.core.exceptions import ImproperlyConfigured
from django.core.management import call_command

import tavori_pay_django
from tavori_pay_django import ConfigurationError, conf
from tavori_pay_django.db.validation import database_errors, sqlite_warnings
from tavori_pay_sandbox.rules import sign

SECRET = "s3cr3t-value"


def reported(deploy: bool = True) -> list[tuple[str, str]]:
    return [(message.id, message.msg) for message in checks.run_checks(include_deployment_checks=deploy)
            if message.id.startswith("tavori_pay") and message.id != "tavori_pay.W005"]


@pytest.fixture(autouse=True)
def outside_tests(monkeypatch):
    """The checks as `manage.py check` gives them, not as under a test run."""
    monkeypatch.setattr(conf, "running_tests", lambda: False)


@pytest.fixture
def key_file(settings, tmp_path):
    settings.TAVORI_PAY = {"PUBLIC_URL": "https://shop.example"}
    settings.WORKING_SPACE = str(tmp_path)
    return tmp_path / "auth_key.py"


def assert_reported(messages: list[tuple[str, str]], expected: list[tuple[str, tuple[str, ...]]]) -> None:
    """The checks' ids in order, each message holding the words that matter
    (the setting, the line, the cause), not its whole wording."""
    assert [id for id, _ in messages] == [id for id, _ in expected], messages
    for (_, message), (_, words) in zip(messages, expected, strict=True):
        assert all(word in message for word in words), (message, words)


@pytest.mark.parametrize("text, expected", [
    (f'COMMUNITY_KEY = "c"\nSPONSOR_KEY = "{SECRET}"\n', []),
    (f'COMMUNITY_KEY = "c"\nSPONSOR_KEY_PREVIOUS = "{SECRET}"\nSPONSOR_KEY = "new"\n',
     [("tavori_pay.W003", ("line 2", "SPONSOR_KEY_PREVIOUS is read as SPONSOR_KEY", "comes first"))]),
    (f'COMMUNITY_KEY = "c"  # {SECRET}\nSPONSOR_KEY = "s"\n',
     [("tavori_pay.W004", ("line 1", "COMMUNITY_KEY", "after its closing quote", "part of the key"))]),
    (f'COMMUNITY_KEY = "{SECRET}\nSPONSOR_KEY = "s"\n',
     [("tavori_pay.W004", ("line 1", "COMMUNITY_KEY", "no closing quote", "part of the key"))]),
    (f"COMMUNITY_KEY = {SECRET} # mine\nSPONSOR_KEY = 's'\n",
     [("tavori_pay.W004", ("line 1", "COMMUNITY_KEY", "'#'", "part of the key"))]),
    (f'COMMUNITY_KEY = "{SECRET}"\n', [("tavori_pay.E003", ("SPONSOR_KEY not found", "auth_key.py"))]),
])
def test_key_file_pitfalls_are_named_by_line_without_the_value(key_file, text, expected):
    key_file.write_text(text)
    messages = reported()
    assert_reported(messages, expected)
    assert not any(SECRET in message for _, message in messages)


NEVER_USED = "empty or not text: it is never used"
NO_USABLE_KEY = "TAVORI_PAY has no usable sponsor key"


@pytest.mark.parametrize("given, expected", [
    ({"SPONSOR_KEYS": ["k", ""]}, [("SPONSOR_KEYS'][1]", NEVER_USED)]),
    ({"SPONSOR_KEYS": ["k", None, "  "]}, [("SPONSOR_KEYS'][1]", NEVER_USED), ("SPONSOR_KEYS'][2]", NEVER_USED)]),
    ({"SPONSOR_KEYS": [""]}, [(NO_USABLE_KEY, "SPONSOR_KEYS'][0]", NEVER_USED)]),
    ({"SPONSOR_KEYS": []}, [(NO_USABLE_KEY, "SPONSOR_KEYS is empty")]),
    ({"SPONSOR_KEY": ""}, [(NO_USABLE_KEY, "TAVORI_PAY['SPONSOR_KEY']", NEVER_USED)]),
    ({"COMMUNITY_KEY": " "}, [("TAVORI_PAY['COMMUNITY_KEY']", "empty or not text")]),
    ({"CALLBACK_MAX_BYTES": "16k"}, [("TAVORI_PAY['CALLBACK_MAX_BYTES']", "whole number", "1,024", "1,048,576",
                                      "not '16k'")]),
    ({"RECONCILE_AFTER": -1}, [("TAVORI_PAY['RECONCILE_AFTER']", "number from 0 to 315,360,000", "not -1")]),
    *[({name: value}, [(f"TAVORI_PAY['{name}']", f"{kind} from {least} to {most}", f"not {value!r}")])
      for name, kind, least, most in [("CALLBACK_MAX_BYTES", "whole number", "1,024", "1,048,576"),
                                      ("RECONCILE_WINDOW", "number", 0, "315,360,000"),
                                      ("RECONCILE_ENDED_EVERY", "number", 0, "315,360,000")]
      for value in ([0, 100, float("inf")] if name == "CALLBACK_MAX_BYTES" else [1e300, float("nan")])],
    *[({"PUBLIC_URL": url}, [("TAVORI_PAY['PUBLIC_URL']", f"({url}) {problem}", "absolute http:// or https://")])
      for url, problem in [("shop.example", "is not an absolute http:// or https:// URL"),
                           ("https://shop.example/#top", "has a '?' or '#' part"),
                           ("https://shop.example?x=1", "has a '?' or '#' part"),
                           ("https://:443", "has no host"),
                           ("https://shop.example:99999", "does not parse (Port out of range 0-65535)"),
                           ("https://[::1", "does not parse (Invalid IPv6 URL)"),
                           ("https:// ", "holds white space or a control character"),
                           ("https://shop.example/\n", "holds white space or a control character")]],
])
def test_unusable_settings_are_errors_that_name_the_setting_never_a_key(settings, given, expected):
    settings.DEBUG = True  # a scheme-less PUBLIC_URL is an error even then
    settings.TAVORI_PAY = {"COMMUNITY_KEY": "c", "SPONSOR_KEYS": [SECRET], "PUBLIC_URL": "https://s.example",
                           **given}
    if "SPONSOR_KEY" in given:
        del settings.TAVORI_PAY["SPONSOR_KEYS"]
    check = ("tavori_pay.E010" if "PUBLIC_URL" in given else "tavori_pay.E008" if "KEY" in "".join(given) else
             "tavori_pay.E009")  # each cause its own check
    assert_reported(reported(), [(check, words) for words in expected])  # not a traceback
    assert SECRET not in repr(config_or_error())


def config_or_error():
    try:
        return conf.config()
    except ConfigurationError as error:
        return error


@pytest.mark.parametrize("line", ['SPONSOR_KEY = ""', "SPONSOR_KEY = ''", "SPONSOR_KEY =   "])
def test_an_empty_key_in_the_key_file_is_an_error(key_file, line):
    key_file.write_text(f'COMMUNITY_KEY = "c"\n{line}\n')
    assert_reported(reported(), [("tavori_pay.E012", (str(key_file), "line 2", "SPONSOR_KEY is empty"))])


def test_a_missing_key_file_or_half_set_keys_are_errors(key_file, settings):
    assert_reported(reported(), [("tavori_pay.E002", ("TAVORI_PAY has no keys", str(key_file),
                                                       "No such file or directory"))])
    settings.TAVORI_PAY = {"COMMUNITY_KEY": "c"}
    assert [id for id, _ in reported()] == ["tavori_pay.E008"]
    settings.TAVORI_PAY = {"COMMUNITY_KEY": "c", "SPONSOR_KEYS": SECRET}
    assert_reported(reported(), [("tavori_pay.E008", ("TAVORI_PAY['SPONSOR_KEYS']", "list of keys, not one string"))])
    settings.TAVORI_PAY = {"COMMUNITY_KEY": "c", "SPONSOR_KEYS": ["s"], "PUBLIK_URL": "https://s.example"}
    assert [id for id, _ in reported()] == ["tavori_pay.E001"]  # the dict's own shape


def test_client_signs_with_the_settings_keys_and_refuses_unusable_ones_as_improperly_configured(key_file, settings):
    """The settings' keys, with no auth_key.py in the working space; what
    the app cannot use is Django's ImproperlyConfigured, naming no key."""
    settings.TAVORI_PAY = {"COMMUNITY_KEY": "c", "SPONSOR_KEYS": ["new", "old"]}
    body = '{"status": "paid"}'
    assert tavori_pay_django.client().verify_callback(body, sign("new", body)) == {"status": "paid"}
    with pytest.raises(RuntimeError, match="Invalid callback signature"):
        tavori_pay_django.client().verify_callback(body, sign("old", body))  # the current key signs
    for keys in ({"COMMUNITY_KEY": "c"}, {"COMMUNITY_KEY": "c", "SPONSOR_KEYS": [7]}, {}):
        settings.TAVORI_PAY = keys
        with pytest.raises(ImproperlyConfigured) as refused:
            tavori_pay_django.client()
        assert isinstance(refused.value, ConfigurationError) and "new" not in str(refused.value)


@pytest.mark.parametrize("debug, url, warned", [
    (False, "http://shop.example", True), (False, "https://shop.example", False), (True, "http://127.0.0.1:8000",
                                                                                   False),
])
def test_a_plain_http_notify_url_is_warned_about_outside_debug(settings, debug, url, warned):
    settings.DEBUG = debug
    settings.TAVORI_PAY = {**settings.TAVORI_PAY, "PUBLIC_URL": url}
    assert ("tavori_pay.W001" in [id for id, _ in reported()]) is warned
    assert "tavori_pay.W001" not in [id for id, _ in reported(deploy=False)]  # not on every command cron runs


@pytest.mark.parametrize("exempt, refused", [([], True), ([r"^payments/notify/$"], False)])
def test_an_http_notify_url_that_ssl_redirect_would_redirect_is_refused_for_deployment(settings, exempt, refused):
    settings.TAVORI_PAY = {**settings.TAVORI_PAY, "PUBLIC_URL": "http://shop.example"}
    settings.SECURE_SSL_REDIRECT, settings.SECURE_REDIRECT_EXEMPT = True, exempt
    settings.MIDDLEWARE = ["django.middleware.security.SecurityMiddleware", *settings.MIDDLEWARE]
    assert ("tavori_pay.E004" in [id for id, _ in reported()]) is refused


def test_sqlite_without_immediate_transactions_is_warned_about():
    sqlite = {"ENGINE": "django.db.backends.sqlite3", "NAME": "x.sqlite3"}
    databases = {"default": sqlite, "immediate": {**sqlite, "OPTIONS": {"transaction_mode": "IMMEDIATE"}},
                 "other": {"ENGINE": "django.db.backends.postgresql"}}
    vendors = {"default": "sqlite", "immediate": "sqlite", "other": "postgresql"}
    assert [(message.id, message.msg.split(" is ")[0]) for message in sqlite_warnings(databases, vendors)] == [
        ("tavori_pay.W002", "database 'default'")]
    assert reported() == []  # the tests' own SQLite settings


def test_a_database_the_payments_cannot_live_in_is_an_error():
    vendors = {"default": "postgresql", "old": "sqlite", "mysql": "mysql", "oracle": "oracle"}
    assert_reported([(message.id, message.msg) for message in database_errors(vendors, (3, 34, 1))], [
        ("tavori_pay.E006", ("database 'old'", "SQLite 3.34.1", "need SQLite 3.35 or later")),
        ("tavori_pay.E006", ("database 'oracle'", "cannot be kept in", "answered 503"))])
    assert database_errors({"default": "sqlite"}, (3, 35, 0)) == []


@pytest.mark.django_db
def test_the_shipped_migrations_match_the_models():
    call_command("makemigrations", "tavori_pay", "--check", "--dry-run", verbosity=0)


@pytest.mark.django_db(databases=["default", "payments"])  # model checks ask every database what it supports
def test_missing_keys_warn_stop_only_a_deployment_and_are_quiet_under_tests(key_file, monkeypatch):
    messages = checks.run_checks()
    assert [(m.id, m.level) for m in messages if m.id.startswith("tavori_pay")] == [("tavori_pay.W005", checks.WARNING)]
    assert messages[0].msg.startswith("payments will fail until the keys are set: TAVORI_PAY has no keys. Cannot ")
    deployment = [m for m in checks.run_checks(include_deployment_checks=True) if m.id.startswith("tavori_pay")]
    assert [(m.id, bool(m.hint)) for m in deployment] == [("tavori_pay.E002", True)]  # one message for one cause
    for command in (["makemigrations", "--check", "--dry-run"], ["showmigrations", "tavori_pay"],
                    ["tavori_pay_dispatch", "-v", "0"]):
        printed = io.StringIO()
        call_command(*command, stdout=printed, stderr=printed, skip_checks=False)  # no W005 in cron's mail
        assert "W005" not in printed.getvalue()
    printed = io.StringIO()
    call_command("check", stdout=printed, stderr=printed)
    assert "tavori_pay.W005" in printed.getvalue()
    monkeypatch.setattr(conf, "running_tests", lambda: True)
    assert [m.id for m in checks.run_checks() if m.id.startswith("tavori_pay")] == []


@pytest.mark.django_db(transaction=True)
def test_the_migrations_apply_backwards_and_forwards_again():
    call_command("migrate", "tavori_pay", "zero", verbosity=0)
    call_command("migrate", "tavori_pay", verbosity=0)
