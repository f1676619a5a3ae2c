"""The app's locks, in one place. One payment decision per shop reference
at a time: what a checkout finds waiting for a reference, and whether a
payment moving to paid is the reference's second, are decided by one
transaction after another. Each other lock is taken before a reference's,
but on rows that no transaction holds while it waits for a reference (a
move's new events, the callback's own row), and it is held only to the
commit. How each database holds them is the seam's (`db`)."""

from __future__ import annotations

import hashlib
from collections.abc import Iterable, Iterator
from contextlib import contextmanager

from django.db import OperationalError

from . import db


def reference_key(reference: str) -> int:
    """A 64-bit key for the reference: two references that share one only
    wait for each other."""
    digest = hashlib.blake2b(reference.encode("utf-8", "surrogatepass"), digest_size=8,
                             person=b"tavori_pay_ref").digest()
    return int.from_bytes(digest, "big", signed=True)


def lock_reference(alias: str, reference: str) -> None:
    """Holds `reference` until the transaction open on `alias` ends."""
    db.operations(alias).lock_references([reference_key(reference)])


def lock_references(alias: str, references: Iterable[str]) -> None:
    """Holds each of `references` until the transaction ends, taken in the
    order of their keys, so that two transactions taking several never
    wait for each other in a circle."""
    keys = sorted({reference_key(reference) for reference in references})
    if keys:
        db.operations(alias).lock_references(keys)


def lock_not_available(error: OperationalError) -> bool:
    """Whether `error` says a row was held by another transaction, rather
    than that the database failed."""
    return db.lock_not_available(error)


@contextmanager
def lock_waits_at_most(alias: str, seconds: float) -> Iterator[None]:
    """Bounds the lock waits of the statements run inside, in the
    transaction open on `alias` (SQLite bounds them by its own busy
    timeout)."""
    with db.operations(alias).lock_waits_at_most(seconds):
        yield
