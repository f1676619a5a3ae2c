"""One payment decision per shop reference at a time: what a checkout finds
waiting for a reference, and whether a payment moving to paid is the
reference's second, are decided by one transaction after another. Each
other lock is taken before this one, but on rows that no transaction holds
while it waits for a reference (a move's new events, the callback's own
row), and it is held only to the commit."""

from __future__ import annotations

import hashlib
from collections.abc import Iterable
from typing import Any

from django.db import connections
from django.db.backends.base.base import BaseDatabaseWrapper

from .models import ReferenceLock


def lock_reference(alias: str, reference: str) -> None:
    """Holds `reference` until the transaction open on `alias` ends."""
    _lock_key_of(connections[alias], _lock_key(reference))


def lock_in_statement(alias: str, reference: str) -> tuple[str, list[Any]] | None:
    """SQL that holds `reference` when a statement evaluates it, and its
    parameters, on PostgreSQL: the lock rides on a statement made anyway.
    None elsewhere: lock_reference takes it."""
    if connections[alias].vendor != "postgresql":
        return None
    return "pg_advisory_xact_lock(%s)", [_lock_key(reference)]


def lock_references(alias: str, references: Iterable[str]) -> None:
    """Holds each of `references` until the transaction ends, taken in the
    order of their keys, so that two transactions taking several never
    wait for each other in a circle."""
    keys, connection = sorted({_lock_key(reference) for reference in references}), connections[alias]
    if not keys:
        return
    if connection.vendor == "postgresql":  # in one statement
        with connection.cursor() as cursor:
            cursor.execute("SELECT pg_advisory_xact_lock(key) FROM (SELECT unnest(%s::bigint[]) AS key ORDER BY key) "
                           "AS keys", [keys])
    else:
        for key in keys:
            _lock_key_of(connection, key)


def _lock_key_of(connection: BaseDatabaseWrapper, key: int) -> None:
    if connection.vendor == "postgresql":
        with connection.cursor() as cursor:
            cursor.execute("SELECT pg_advisory_xact_lock(%s)", [key])
    elif connection.vendor == "mysql":
        # MariaDB and MySQL have no lock that ends with the transaction but a
        # row's: the key's row, made on first use, locked by the update.
        table = connection.ops.quote_name(ReferenceLock._meta.db_table)
        with connection.cursor() as cursor:
            cursor.execute(f"INSERT INTO {table} (lock_key) VALUES (%s) ON DUPLICATE KEY UPDATE lock_key = lock_key",
                           [key])
    # SQLite: a transaction that writes holds the database's one write lock,
    # taken at its start with transaction_mode IMMEDIATE (check W002).


def _lock_key(reference: str) -> int:
    """A 64-bit key for the reference: two references that share one only
    wait for each other."""
    digest = hashlib.blake2b(reference.encode("utf-8", "surrogatepass"), digest_size=8,
                             person=b"tavori_pay_ref").digest()
    return int.from_bytes(digest, "big", signed=True)
