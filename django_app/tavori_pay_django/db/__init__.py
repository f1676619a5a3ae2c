"""The payments' database seam: every statement that differs per database,
behind one interface (`base.Operations`), one module per database, as
Django's own backends keep theirs. `operations(alias)` is the one place that
asks which database an alias names; nothing else in the app reads a
connection's vendor or runs a cursor."""

from __future__ import annotations

from django.db import connections

from . import mysql, postgresql, sqlite
from .base import CallbackRow, Operations

__all__ = ["VENDORS", "CallbackRow", "Operations", "lock_not_available", "operations", "vendor"]

VENDORS: dict[str, type[Operations]] = {"postgresql": postgresql.Operations, "mysql": mysql.Operations,
                                        "sqlite": sqlite.Operations}


def vendor(alias: str) -> str:
    """The database the alias names, as Django calls it (no connection is made)."""
    return str(connections[alias].vendor)


def operations(alias: str) -> Operations:
    return VENDORS[vendor(alias)](alias)


def lock_not_available(error: Exception) -> bool:
    """Whether a database error says a row was held by another transaction,
    rather than that the database failed."""
    return postgresql.Operations.says_lock_not_available(error) or mysql.Operations.says_lock_not_available(error)
