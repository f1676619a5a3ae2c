"""The app's settings: one dict, `TAVORI_PAY`, every key optional.

    TAVORI_PAY = {
        "COMMUNITY_KEY": "...",          # with SPONSOR_KEYS; else auth_key.py
        "SPONSOR_KEYS": ["new", "old"],  # the first signs requests; any verifies a callback
        "PUBLIC_URL": "https://shop.example",  # where the service reaches the shop
        "CALLBACK_MAX_BYTES": 16384,
        "RECONCILE_AFTER": 600,          # seconds before an open payment is asked about
        "RECONCILE_WINDOW": 2592000,     # seconds an ended payment is still asked about (30 days)
        "RECONCILE_ENDED_EVERY": 86400,  # seconds between two questions about an ended payment
        "TASK_BACKEND": None,            # an alias of TASKS: events delivered by its workers
    }
"""

from __future__ import annotations

import importlib.util
from dataclasses import dataclass, field
from urllib.parse import urlsplit

from django.conf import settings
from django.views.decorators.debug import sensitive_variables

import tavori_pay

from . import key_file
from .errors import ConfigurationError

DEFAULTS = {
    "COMMUNITY_KEY": None,
    "SPONSOR_KEYS": None,
    "PUBLIC_URL": "",
    "CALLBACK_MAX_BYTES": 16 * 1024,
    "RECONCILE_AFTER": 600,
    "RECONCILE_WINDOW": 30 * 86400,
    "RECONCILE_ENDED_EVERY": 86400,
    "TASK_BACKEND": None,
}


# The system check of each cause of a ConfigurationError: the dict's shape
# is E001.
KEYS_CHECK, NUMBER_CHECK, URL_CHECK, TASK_BACKEND_CHECK, KEY_FILE_CHECK = (
    "tavori_pay.E008", "tavori_pay.E009", "tavori_pay.E010", "tavori_pay.E011", "tavori_pay.E012")

# What each number setting may be: the least, the most, and why.
DAY = 86400
BOUNDS = {
    "CALLBACK_MAX_BYTES": (1024, 1024 * 1024, "a callback body must fit, and a forged one must not fill the memory"),
    "RECONCILE_AFTER": (0, 3650 * DAY, "seconds, ten years at the most"),
    "RECONCILE_WINDOW": (0, 3650 * DAY, "seconds, ten years at the most"),
    "RECONCILE_ENDED_EVERY": (0, 3650 * DAY, "seconds, ten years at the most"),
}


@dataclass(frozen=True)
class Config:
    community_key: str | None = field(repr=False)
    sponsor_keys: tuple[str, ...] = field(repr=False)
    public_url: str
    callback_max_bytes: int
    reconcile_after: float
    reconcile_window: float
    reconcile_ended_every: float
    # What is wrong with sponsor keys that are set aside: never used.
    unusable_keys: tuple[str, ...] = ()
    # The TASKS alias whose workers deliver events; None: the process that moved the payment.
    task_backend: str | None = None


@sensitive_variables()
def config() -> Config:
    given = getattr(settings, "TAVORI_PAY", {}) or {}
    if not isinstance(given, dict):
        raise ConfigurationError("TAVORI_PAY must be a dict")
    unknown = set(given) - set(DEFAULTS) - {"SPONSOR_KEY"}
    if unknown:
        raise ConfigurationError(f"Unknown TAVORI_PAY setting: {', '.join(sorted(unknown))}")
    values = {**DEFAULTS, **given}
    community_key = values["COMMUNITY_KEY"]
    if community_key is not None and not _usable(community_key):
        raise ConfigurationError("TAVORI_PAY['COMMUNITY_KEY'] is empty or not text", KEYS_CHECK)
    keys, unusable = _sponsor_keys(values["SPONSOR_KEYS"], given.get("SPONSOR_KEY"))
    return Config(community_key, keys, _public_url(values["PUBLIC_URL"]),
                  int(_number(values, "CALLBACK_MAX_BYTES", int)), _number(values, "RECONCILE_AFTER", float),
                  _number(values, "RECONCILE_WINDOW", float), _number(values, "RECONCILE_ENDED_EVERY", float),
                  unusable, _task_backend(values["TASK_BACKEND"]))


def _usable(key: object) -> bool:
    return isinstance(key, str) and bool(key.strip())


@sensitive_variables()
def _sponsor_keys(listed: object, single: object) -> tuple[tuple[str, ...], tuple[str, ...]]:
    """The usable sponsor keys, and what is wrong with the others: an empty,
    blank or non-text key would verify what anyone signs with it (or nothing
    at all), so it is set aside, named by its position."""
    if listed is None and single is None:
        return (), ()
    if listed is None:
        listed, names = [single], ["TAVORI_PAY['SPONSOR_KEY']"]
    elif isinstance(listed, (list, tuple)):
        names = [f"TAVORI_PAY['SPONSOR_KEYS'][{position}]" for position in range(len(listed))]
    else:
        raise ConfigurationError("TAVORI_PAY['SPONSOR_KEYS'] must be a list of keys"
                                 + (", not one string" if isinstance(listed, str) else ""), KEYS_CHECK)
    usable = tuple(key for key in listed if isinstance(key, str) and _usable(key))
    unusable = tuple(f"{name} is empty or not text: it is never used"
                     for name, key in zip(names, listed, strict=True) if not _usable(key))
    if not usable:
        raise ConfigurationError("TAVORI_PAY has no usable sponsor key: " + ("; ".join(unusable) or
                                                                          "SPONSOR_KEYS is empty"), KEYS_CHECK)
    return usable, unusable


def _number(values: dict[str, object], name: str, kind: type[int] | type[float]) -> float:
    value, (least, most, why) = values[name], BOUNDS[name]
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not least <= value <= most or \
            (kind is int and value != int(value)):
        raise ConfigurationError(f"TAVORI_PAY['{name}'] must be a {'whole number' if kind is int else 'number'} "
                                 f"from {least:,} to {most:,} ({why}), not {value!r}", NUMBER_CHECK)
    return float(kind(value))


def _task_backend(value: object) -> str | None:
    if value is None:
        return None
    if not isinstance(value, str) or not value:
        raise ConfigurationError(f"TAVORI_PAY['TASK_BACKEND'] must be an alias of the TASKS setting, not {value!r}",
                                 TASK_BACKEND_CHECK)
    tasks = getattr(settings, "TASKS", None)
    if not tasks_framework() or not isinstance(tasks, dict) or value not in tasks:
        raise ConfigurationError(f"TAVORI_PAY['TASK_BACKEND'] ({value}) is not an alias of the TASKS setting"
                                 + ("" if tasks_framework() else ", and this Django has no tasks framework "
                                    "(Django 6.0, or the django-tasks backport on 5.2)"), TASK_BACKEND_CHECK)
    return value


def tasks_framework() -> bool:
    """Whether Django's tasks framework is there: django.tasks, or django-tasks on Django 5.2."""
    return any(importlib.util.find_spec(name) is not None for name in ("django.tasks", "django_tasks"))


def _public_url(value: object) -> str:
    if not isinstance(value, str):
        raise ConfigurationError("TAVORI_PAY['PUBLIC_URL'] must be text", URL_CHECK)
    if value and (problem := _url_problem(value)):
        raise ConfigurationError(f"TAVORI_PAY['PUBLIC_URL'] ({value}) {problem}: the notify URL is built on it, so it "
                                 "must be an absolute http:// or https:// URL such as https://shop.example, with a "
                                 "host, a port from 1 to 65535 if any, and no '?' or '#' part", URL_CHECK)
    return value.rstrip("/")


def _url_problem(value: str) -> str | None:
    # urlsplit drops tabs and line breaks and keeps spaces: a URL the service could never reach.
    if any(character.isspace() or not character.isprintable() for character in value):
        return "holds white space or a control character"
    try:
        parts = urlsplit(value)
        port = parts.port
    except ValueError as error:  # an unclosed IPv6 bracket, a port out of range
        return f"does not parse ({error})"
    if parts.scheme not in ("http", "https") or not parts.netloc:
        return "is not an absolute http:// or https:// URL"
    if not parts.hostname:
        return "has no host"
    if port == 0:
        return "has port 0"
    if "?" in value or "#" in value:
        return "has a '?' or '#' part"
    return None


def keys_in_settings(current: Config) -> bool:
    """Whether TAVORI_PAY holds the keys; False means the module's auth_key.py
    lookup. ConfigurationError when it holds only one of them."""
    if current.community_key is None and not current.sponsor_keys:
        return False
    if current.community_key is None or not current.sponsor_keys:
        raise ConfigurationError("TAVORI_PAY needs both COMMUNITY_KEY and SPONSOR_KEYS, or neither "
                                 "(then the keys are read from auth_key.py)", KEYS_CHECK)
    return True


@sensitive_variables()
def clients() -> list[tavori_pay.Client]:
    """One client per usable sponsor key, the current key first. Without keys
    in the settings, the module's own auth_key.py lookup, read on every call
    so that a changed key file takes effect without a restart."""
    current = config()
    if not keys_in_settings(current):
        try:
            client = key_file.module_client()
        except key_file.Unreadable as error:
            raise ConfigurationError(str(error), KEY_FILE_CHECK) from None
        _refuse_empty_keys_in_file(client)
        return [client]
    try:
        return [tavori_pay.Client(current.community_key, key) for key in current.sponsor_keys]
    except TypeError:
        raise ConfigurationError("TAVORI_PAY's COMMUNITY_KEY and SPONSOR_KEYS must be strings", KEYS_CHECK) from None


def client() -> tavori_pay.Client:
    """A client with the project's keys: TAVORI_PAY's, the current sponsor
    key signing, or else auth_key.py's. ConfigurationError when neither
    gives usable keys."""
    return clients()[0]


@sensitive_variables()
def _refuse_empty_keys_in_file(client: tavori_pay.Client) -> None:
    """Refuses the module's client when the sponsor key it read is empty, as
    the module itself tells, or blank; the line is named when it can be."""
    path = key_file.path()
    try:
        sponsor = key_file.assignments(path)["SPONSOR_KEY"]
    except (OSError, UnicodeError):
        sponsor = None  # the module has just read it; a file gone since is its next reader's to report
    where = f"{path}, line {sponsor.number}" if sponsor is not None else str(path)
    if key_file.verifies_with_empty_key(client) or (sponsor is not None and not sponsor.key.strip()):
        raise ConfigurationError(f"{where}: SPONSOR_KEY is empty; an empty key is never used", KEY_FILE_CHECK)


def running_tests() -> bool:
    """Whether Django's test environment is set up (its runner, or pytest-django)."""
    from django.test import utils

    return hasattr(utils._TestState, "saved_data")
