"""MariaDB and MySQL: a reference's lock is its ReferenceLock row, made on
first use and locked by an update, since no other lock ends with the
transaction; a statement locks every row it reads, so a payment's events
are found unlocked and then locked by their ids; lock waits are bounded by
innodb_lock_wait_timeout, in whole seconds, and a row held answers 1205
(MariaDB) or 3572 (MySQL's NOWAIT)."""

from __future__ import annotations

import math
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from typing import cast

from ..models import Callback, Payment, PaymentEvent, ReferenceLock
from . import base, compiled
from .base import CallbackRow
from .compiled import Param, Statement, kept

LOCK_NOT_AVAILABLE = frozenset({1205, 3572})


class Operations(base.Operations):
    vendor = "mysql"

    def store_callback(self, row: CallbackRow, settled: Sequence[str]) -> str:
        table, marked = base.callback_columns(self)
        outcome, deliveries = self.column(Callback, "outcome"), self.column(Callback, "deliveries")
        # The driver sends bytes as text in the connection's character set unless told they are binary.
        insert, values = base._callback_insert(self, row, "_binary %s")
        # Assigned in order, each seeing those before: the outcome last, so
        # that the others ask about the row's own.
        kept_marks = [f"{name} = IF({outcome} IN ({base._placeholders(settled)}), {name}, VALUES({name}))"
                      for name in marked]
        with self.connection.cursor() as cursor:
            cursor.execute(insert + "ON DUPLICATE KEY UPDATE " + ", ".join(
                [f"{deliveries} = {deliveries} + 1", *(kept_marks if row.marked else [])]),
                [*values, *(list(settled) * len(marked) if row.marked else [])])
        # No RETURNING beside ON DUPLICATE KEY: the row, locked until the commit, is read back.
        return str(_outcome_of(self.alias).rows(self.alias, {"digest": row.digest})[0][0])

    def lock_references(self, keys: Sequence[int]) -> None:
        table, key = self.table(ReferenceLock), self.column(ReferenceLock, "lock_key")
        with self.connection.cursor() as cursor:
            for value in keys:
                cursor.execute(f"INSERT INTO {table} ({key}) VALUES (%s) ON DUPLICATE KEY UPDATE {key} = {key}",
                               [value])

    def locked_events(self, payment_ids: Sequence[int]) -> list[PaymentEvent]:
        """Found unlocked, then locked by their ids: a NOWAIT scan met other
        runs' rows. The payments are read on their own, since MariaDB would
        lock a joined row too."""
        ids = sorted(event for event, _ in self.undelivered(payment_ids))
        if not ids:
            return []
        found = [cast(PaymentEvent, event) for (event,) in _locked_by_ids(self.alias, len(ids)).instances(
            self.alias, {f"event{number}": pk for number, pk in enumerate(ids)})]
        payments = Payment.objects.using(self.alias).in_bulk({event.payment_id for event in found})
        for event in found:
            event.payment = payments[event.payment_id]
        return found

    @staticmethod
    def says_lock_not_available(error: Exception) -> bool:
        code = getattr(error.__cause__, "args", (None,))[:1]
        return bool(code) and code[0] in LOCK_NOT_AVAILABLE

    def lock_not_available(self, error: Exception) -> bool:
        return self.says_lock_not_available(error)

    @contextmanager
    def lock_waits_at_most(self, seconds: float) -> Iterator[None]:
        # A session setting, whole seconds: put back for the connection's next user.
        with self.connection.cursor() as cursor:
            cursor.execute("SELECT @@SESSION.innodb_lock_wait_timeout")
            (before,) = cursor.fetchone()
            cursor.execute("SET SESSION innodb_lock_wait_timeout = %s", [max(1, math.ceil(seconds))])
        try:
            yield
        finally:
            with self.connection.cursor() as cursor:
                cursor.execute("SET SESSION innodb_lock_wait_timeout = %s", [before])


@kept
def _outcome_of(alias: str) -> Statement:
    return compiled.select(alias, Callback.objects.filter(
        digest=Param("digest", base._field(Callback, "digest"))).values_list("outcome"))


@kept
def _locked_by_ids(alias: str, count: int) -> Statement:
    pk = base._field(PaymentEvent, "id")
    return compiled.select(alias, PaymentEvent.objects.filter(
        pk__in=[Param(f"event{number}", pk) for number in range(count)], delivered_at=None).order_by("id")
        .select_for_update(nowait=True))
