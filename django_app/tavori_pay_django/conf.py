"""The app's settings: one dict, `TAVORI_PAY`, every key optional.

    TAVORI_PAY = {
        "COMMUNITY_KEY": "...",          # with SPONSOR_KEYS; else auth_key.py
        "SPONSOR_KEYS": ["new", "old"],  # the first signs requests; any verifies a callback
        "PUBLIC_URL": "https://shop.example",  # where the service reaches the shop
        "CALLBACK_MAX_BYTES": 16384,
        "RECONCILE_AFTER": 600,          # seconds before an open payment is asked about
        "RECONCILE_WINDOW": 2592000,     # seconds an ended payment is still asked about (30 days)
        "RECONCILE_ENDED_EVERY": 86400,  # seconds between two questions about an ended payment
    }
"""

from __future__ import annotations

from dataclasses import dataclass

import tavori_pay
from django.conf import settings

DEFAULTS = {
    "COMMUNITY_KEY": None,
    "SPONSOR_KEYS": None,
    "PUBLIC_URL": "",
    "CALLBACK_MAX_BYTES": 16 * 1024,
    "RECONCILE_AFTER": 600,
    "RECONCILE_WINDOW": 30 * 86400,
    "RECONCILE_ENDED_EVERY": 86400,
}


class ConfigurationError(Exception):
    """The app cannot reach the service as configured (never a key in the message)."""


@dataclass(frozen=True)
class Config:
    community_key: str | None
    sponsor_keys: tuple[str, ...]
    public_url: str
    callback_max_bytes: int
    reconcile_after: float
    reconcile_window: float
    reconcile_ended_every: float


def config() -> Config:
    given = getattr(settings, "TAVORI_PAY", {}) or {}
    unknown = set(given) - set(DEFAULTS) - {"SPONSOR_KEY"}
    if unknown:
        raise ConfigurationError(f"Unknown TAVORI_PAY setting: {', '.join(sorted(unknown))}")
    values = {**DEFAULTS, **given}
    keys = values["SPONSOR_KEYS"]
    if keys is None and given.get("SPONSOR_KEY") is not None:
        keys = [given["SPONSOR_KEY"]]
    if isinstance(keys, str):
        raise ConfigurationError("TAVORI_PAY['SPONSOR_KEYS'] must be a list of keys, not one string")
    return Config(values["COMMUNITY_KEY"], tuple(keys or ()), values["PUBLIC_URL"].rstrip("/"),
                  int(values["CALLBACK_MAX_BYTES"]), float(values["RECONCILE_AFTER"]),
                  float(values["RECONCILE_WINDOW"]), float(values["RECONCILE_ENDED_EVERY"]))


def keys_in_settings(current: Config) -> bool:
    """Whether TAVORI_PAY holds the keys; False means the module's auth_key.py
    lookup. ConfigurationError when it holds only one of them."""
    if current.community_key is None and not current.sponsor_keys:
        return False
    if current.community_key is None or not current.sponsor_keys:
        raise ConfigurationError("TAVORI_PAY needs both COMMUNITY_KEY and SPONSOR_KEYS, or neither "
                                 "(then the keys are read from auth_key.py)")
    return True


def clients() -> list[tavori_pay.Client]:
    """One client per sponsor key, the current key first. Without keys in the
    settings, the module's own auth_key.py lookup, read on every call so that
    a changed key file takes effect without a restart."""
    current = config()
    if not keys_in_settings(current):
        try:
            return [tavori_pay.Client()]
        except RuntimeError as error:
            raise ConfigurationError(str(error)) from None
    try:
        return [tavori_pay.Client(current.community_key, key) for key in current.sponsor_keys]
    except TypeError:
        raise ConfigurationError("TAVORI_PAY's COMMUNITY_KEY and SPONSOR_KEYS must be strings") from None


def client() -> tavori_pay.Client:
    return clients()[0]
