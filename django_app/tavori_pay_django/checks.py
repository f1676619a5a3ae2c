"""System checks (`manage.py check`): the app can reach the service, verify
its callbacks and be reached by it. No message ever holds a key's value.

Keys not set at all are a warning from `check` and `runserver`, so that
makemigrations, migrate and showmigrations run without them (in a build
step, say) and the commands cron runs do not print it, and an error under
`check --deploy`; while tests run (they set keys of their own, and run with
DEBUG off) neither that nor the HTTPS warning is given."""

from __future__ import annotations

import inspect
import re
from collections.abc import Sequence
from pathlib import Path
from urllib.parse import urlsplit

from django.apps import AppConfig
from django.conf import settings
from django.core import checks
from django.core.checks.registry import CheckRegistry
from django.db import router
from django.urls import NoReverseMatch, get_resolver, reverse

from . import conf, key_file
from .db import validation
from .errors import ConfigurationError

AppConfigs = Sequence[AppConfig] | None
SETTINGS_HINT = "see the TAVORI_PAY settings in tavori_pay_django's docs (docs/django.md)"
KEYS_HINT = ('set TAVORI_PAY = {"COMMUNITY_KEY": ..., "SPONSOR_KEYS": [...]}, or write COMMUNITY_KEY and '
             "SPONSOR_KEY to auth_key.py in WORKING_SPACE; tests get keys from the sandbox")


@checks.register()
def check_keys(app_configs: AppConfigs = None, **kwargs: object) -> list[checks.CheckMessage]:
    return _keys(deploy=False)


@checks.register(deploy=True)
def check_keys_for_deployment(app_configs: AppConfigs = None, **kwargs: object) -> list[checks.CheckMessage]:
    return [message for message in _keys(deploy=True) if message.is_serious()]


def _keys(deploy: bool) -> list[checks.CheckMessage]:
    try:
        current = conf.config()
        in_settings = conf.keys_in_settings(current)
    except ConfigurationError as error:
        return [] if deploy else [checks.Error(str(error), hint=SETTINGS_HINT, id=error.check_id)]
    if in_settings:
        return [] if deploy else [checks.Error(problem, hint="remove it, or give it a key", id=conf.KEYS_CHECK)
                                  for problem in current.unusable_keys]
    messages = check_key_file(key_file.path())
    missing = [message for message in messages if message.id in ("tavori_pay.E002", "tavori_pay.E003")]
    if deploy:
        return missing
    others = [message for message in messages if message not in missing]
    if missing and not conf.running_tests() and not _deployment_run() and _where_missing_keys_help():
        others.insert(0, checks.Warning(
            "payments will fail until the keys are set: " + "; ".join(message.msg for message in missing),
            hint=KEYS_HINT + " (check --deploy makes this an error)", id="tavori_pay.W005"))
    return others


def _deployment_run() -> bool:
    """Whether this is `check --deploy`, where missing keys are the deployment
    check's error alone, not that and the warning too. Django does not tell
    a check which run it is in: it is read from the run's own frame
    (CheckRegistry.run_checks' include_deployment_checks; a test covers it)."""
    frame = inspect.currentframe()
    while frame is not None:
        if frame.f_code is CheckRegistry.run_checks.__code__:
            return bool(frame.f_locals.get("include_deployment_checks"))
        frame = frame.f_back
    return False


def _where_missing_keys_help() -> bool:
    """Whether the checks run for `check` or `runserver` (or outside any
    command), where a missing key is news; not for makemigrations or the
    commands cron runs, whose every mail would carry it. The command is the
    `self` of a frame that runs them: runserver's checks run in a thread of
    their own, without the command's execute() in their stack."""
    from django.core.management.base import BaseCommand
    from django.core.management.commands import check, runserver

    frame = inspect.currentframe()
    while frame is not None:
        command = frame.f_locals.get("self")
        if isinstance(command, BaseCommand):
            return isinstance(command, (check.Command, runserver.Command))
        frame = frame.f_back
    return True


# A deployment check, so that the commands cron runs do not print it each time.
@checks.register(checks.Tags.security, deploy=True)
def check_notify_url(app_configs: AppConfigs = None, **kwargs: object) -> list[checks.CheckMessage]:
    if settings.DEBUG or conf.running_tests():
        return []
    try:
        public_url = conf.config().public_url
    except ConfigurationError:
        return []  # reported by check_keys
    if public_url.startswith("http://") and redirects_to_https(public_url):
        return [checks.Error(f"SECURE_SSL_REDIRECT is on and TAVORI_PAY['PUBLIC_URL'] ({public_url}) is "
                             "http://: every callback would be answered with a redirect, and the service does "
                             "not follow redirects", hint="give PUBLIC_URL the shop's https:// address, or add the "
                             "notify URL to SECURE_REDIRECT_EXEMPT", id="tavori_pay.E004")]
    if public_url and not public_url.startswith("https://"):
        return [checks.Warning(f"TAVORI_PAY['PUBLIC_URL'] ({public_url}) is not HTTPS: callbacks and the "
                               "buyer's return would travel unencrypted",
                               hint="serve the shop over HTTPS and give its https:// address", id="tavori_pay.W001")]
    return []


def redirects_to_https(public_url: str) -> bool:
    """Whether SecurityMiddleware answers the notify URL's plain HTTP with a redirect."""
    if not settings.SECURE_SSL_REDIRECT or \
            "django.middleware.security.SecurityMiddleware" not in settings.MIDDLEWARE:
        return False
    try:
        path = (urlsplit(public_url).path.rstrip("/") + reverse("tavori_pay:notify")).lstrip("/")
    except NoReverseMatch:
        return True  # the app's URLs not included yet: every path is redirected
    return not any(re.search(pattern, path) for pattern in settings.SECURE_REDIRECT_EXEMPT)


@checks.register()
def check_receivers(app_configs: AppConfigs = None, **kwargs: object) -> list[checks.CheckMessage]:
    """Receivers every process would not have, or could not name alike."""
    from .delivery.signals import SIGNAL_OF
    from .models import Payment

    try:  # what the URLconf connects (a views.py) is connected by now, as in a web worker
        get_resolver().url_patterns  # noqa: B018
    except Exception:  # noqa: BLE001  (Django's own URL checks report a URLconf that does not load)
        pass
    messages: list[checks.CheckMessage] = []
    for kind, signal in SIGNAL_OF.items():
        name = "payment_status_changed" if kind == "status" else "payment_needs_review"
        for refused in signal.receivers_for_payments(Payment).refused:
            messages.append(checks.Error(f"{name} receiver {refused.receiver} {refused.problem}: it is never called",
                                         hint=refused.hint, id="tavori_pay.E005"))
    return messages


# An unusable TASK_BACKEND is check_keys' E011, as every setting's cause; a backend
# whose tasks run in no worker is fine for tests, not for a deployment.
@checks.register(deploy=True)
def check_task_backend_for_deployment(app_configs: AppConfigs = None, **kwargs: object) -> list[checks.CheckMessage]:
    try:
        alias = conf.config().task_backend
    except ConfigurationError:
        return []
    if alias is None:
        return []
    backend = str(settings.TASKS[alias].get("BACKEND", ""))
    if backend.endswith((".ImmediateBackend", ".DummyBackend")):
        return [checks.Warning(f"TAVORI_PAY['TASK_BACKEND'] ({alias}) is {backend.rsplit('.', 1)[1]}: payment "
                               "events are delivered in the request that moved the payment, or never",
                               hint="give TASK_BACKEND a backend whose workers run tasks (django-tasks-db's "
                                    "DatabaseBackend with its db_worker, say), or leave it unset",
                               id="tavori_pay.W007")]
    return []


@checks.register()
def check_sqlite_transactions(app_configs: AppConfigs = None, **kwargs: object) -> list[checks.CheckMessage]:
    return validation.settings_warnings(settings.DATABASES)


@checks.register()  # the database is known without connecting
def check_databases(app_configs: AppConfigs = None, **kwargs: object) -> list[checks.CheckMessage]:
    from .models import Payment

    return validation.payment_database_errors(
        [alias for alias in settings.DATABASES if router.allow_migrate_model(alias, Payment)])


def check_key_file(path: Path) -> list[checks.CheckMessage]:
    """What the module reads from the key file: refused when it cannot read
    the keys or would verify with an empty sponsor key, warned about where
    it is not what the file's author meant."""
    try:
        client = key_file.module_client()
    except key_file.Unreadable as error:
        if error.missing is not None:
            return [checks.Error(f"{error.missing} not found in {path}", hint=KEYS_HINT, id="tavori_pay.E003")]
        return [checks.Error(f"TAVORI_PAY has no keys. {error}", hint=KEYS_HINT,
                             id="tavori_pay.E002")]
    try:
        found = key_file.assignments(path)
    except (OSError, UnicodeError):
        found = dict.fromkeys(key_file.KEY_NAMES)  # gone since the module read it
    messages: list[checks.CheckMessage] = []
    for name, assignment in found.items():
        empty = name == "SPONSOR_KEY" and key_file.verifies_with_empty_key(client)
        if assignment is None:
            if empty:
                messages.append(checks.Error(f"{path}: {name} is empty; an empty key is never used",
                                             hint="write the key between the quotes", id=conf.KEY_FILE_CHECK))
            continue
        where, value = f"{path}, line {assignment.number}", assignment.value
        if assignment.written_name != name:
            messages.append(checks.Warning(
                f"{where}: {assignment.written_name} is read as {name}, because it comes first and begins with "
                "that name", hint=f"move the {name} line above it", id="tavori_pay.W003"))
        if empty or not assignment.key.strip():
            messages.append(checks.Error(f"{where}: {name} is empty; an empty key is never used",
                                         hint="write the key between the quotes", id=conf.KEY_FILE_CHECK))
        elif value[:1] in key_file.QUOTES and (len(value) < 2 or value[-1] != value[0]):
            messages.append(checks.Warning(
                f"{where}: {name} has text after its closing quote, or no closing quote; the text is read "
                "as part of the key", hint="end the line with the closing quote", id="tavori_pay.W004"))
        elif value[:1] not in key_file.QUOTES and "#" in value:
            messages.append(checks.Warning(f"{where}: {name} has a '#' that is read as part of the key",
                                           hint="quote the key and put no comment after it",
                                           id="tavori_pay.W004"))
    return messages
