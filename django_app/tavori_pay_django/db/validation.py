"""What the payments need of each database the project's settings name,
as Django's backends keep their own validation: W002 and W006 (SQLite's
transaction settings) and E006 (a database, or an SQLite, the payments
cannot be kept in). Found from the settings, without connecting; the
checks register them (checks.py)."""

from __future__ import annotations

import sqlite3
from collections.abc import Iterable
from typing import Any

from django.core import checks

from . import VENDORS, vendor


def settings_warnings(databases: dict[str, dict[str, Any]]) -> list[checks.CheckMessage]:
    return sqlite_warnings(databases, {alias: vendor(alias) for alias in databases})


def payment_database_errors(aliases: Iterable[str]) -> list[checks.CheckMessage]:
    """Of the aliases the payments may be written to."""
    return database_errors({alias: vendor(alias) for alias in aliases}, sqlite3.sqlite_version_info)


# What the callback's INSERT ... ON CONFLICT ... RETURNING needs of SQLite.
SQLITE_LEAST = (3, 35)


def database_errors(vendors: dict[str, str], sqlite_version: tuple[int, ...]) -> list[checks.CheckMessage]:
    """The databases the payments may live in that the app cannot serve:
    caught here rather than as callbacks answered 503 in production."""
    messages: list[checks.CheckMessage] = []
    for alias, name in vendors.items():
        if name == "sqlite" and tuple(sqlite_version[:2]) < SQLITE_LEAST:
            messages.append(checks.Error(
                f"database {alias!r} is SQLite {'.'.join(map(str, sqlite_version))}: the payments need SQLite "
                f"{'.'.join(map(str, SQLITE_LEAST))} or later", hint="use a Python built with a newer SQLite, or "
                "PostgreSQL", id="tavori_pay.E006"))
        elif name not in VENDORS:
            messages.append(checks.Error(
                f"database {alias!r} is {name}, which the payments cannot be kept in: every callback would be "
                "answered 503", hint="keep the payments in PostgreSQL, MariaDB 10.6 or later, MySQL 8 or SQLite "
                "3.35 or later, with a database router if the rest of the project is elsewhere",
                id="tavori_pay.E006"))
    return messages


def sqlite_warnings(databases: dict[str, dict[str, Any]], vendors: dict[str, str]) -> list[checks.CheckMessage]:
    messages: list[checks.CheckMessage] = []
    for alias, database in databases.items():
        if vendors[alias] != "sqlite":
            continue
        if database.get("OPTIONS", {}).get("transaction_mode") != "IMMEDIATE":
            messages.append(checks.Warning(
                f"database {alias!r} is SQLite without transaction_mode IMMEDIATE: concurrent callbacks "
                "would fail with 'database is locked'",
                hint='add "OPTIONS": {"transaction_mode": "IMMEDIATE"} to its settings', id="tavori_pay.W002"))
        if database.get("ATOMIC_REQUESTS"):
            messages.append(checks.Warning(
                f"database {alias!r} is SQLite with ATOMIC_REQUESTS: start_payment refuses to run in a view's "
                "transaction there, which holds SQLite's write lock, since a rollback would lose a payment the "
                "service has created", hint="decorate checkout views with transaction.non_atomic_requests, or use "
                "PostgreSQL", id="tavori_pay.W006"))
    return messages
