"""PostgreSQL: a reference's lock is an advisory lock that ends with the
transaction, and rides on the payment's UPDATE when a payment is paid;
lock waits are bounded by lock_timeout, and a row held answers 55P03."""

from __future__ import annotations

from collections.abc import Iterator, Sequence
from contextlib import contextmanager

from ..models import Payment
from . import base
from .base import CallbackRow

LOCK_NOT_AVAILABLE = "55P03"  # NOWAIT's answer, and a lock_timeout's that ran out


class Operations(base.Operations):
    vendor = "postgresql"

    def store_callback(self, row: CallbackRow, settled: Sequence[str]) -> str:
        return base.upsert_returning_outcome(self, row, settled)

    def lock_references(self, keys: Sequence[int]) -> None:
        with self.connection.cursor() as cursor:
            if len(keys) == 1:
                cursor.execute("SELECT pg_advisory_xact_lock(%s)", [keys[0]])
            elif keys:  # in one statement
                cursor.execute("SELECT pg_advisory_xact_lock(key) FROM (SELECT unnest(%s::bigint[]) AS key ORDER BY "
                               "key) AS keys", [list(keys)])

    def save_paid(self, payment: Payment, names: Sequence[str], lock_key: int) -> str | None:
        # The lock taken by the UPDATE that is made anyway: one statement less.
        base._save(self.alias, Payment, tuple(names)).execute(
            self.alias, self._saved_values(payment, names), suffix=" RETURNING pg_advisory_xact_lock(%s)",
            suffix_params=[lock_key])
        return self.other_paid_order(payment)

    @staticmethod
    def says_lock_not_available(error: Exception) -> bool:
        return getattr(error.__cause__, "sqlstate", None) == LOCK_NOT_AVAILABLE

    def lock_not_available(self, error: Exception) -> bool:
        return self.says_lock_not_available(error)

    @contextmanager
    def lock_waits_at_most(self, seconds: float) -> Iterator[None]:
        with self.connection.cursor() as cursor:  # ends with the transaction
            cursor.execute("SELECT set_config('lock_timeout', %s, true)", [f"{int(seconds * 1000)}ms"])
        yield
