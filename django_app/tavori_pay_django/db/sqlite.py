"""SQLite: one write lock, taken at a writing transaction's start with
transaction_mode IMMEDIATE (check W002), holds the whole database, so
references need no lock of their own and no row is ever found held; a
callback is stored with ON CONFLICT and RETURNING (SQLite 3.35+)."""

from __future__ import annotations

import sqlite3
import threading
from collections.abc import Iterator, Sequence
from contextlib import closing, contextmanager

from django.utils import timezone

from ..models import EffectClaim, PaymentEvent
from . import base
from .base import CallbackRow


class Operations(base.Operations):
    vendor = "sqlite"
    one_write_lock = True

    def store_callback(self, row: CallbackRow, settled: Sequence[str]) -> str:
        return base.upsert_returning_outcome(self, row, settled)

    def lock_references(self, keys: Sequence[int]) -> None:
        """The transaction's write lock holds them all."""

    def claims_file(self) -> ClaimsFile:
        """once()'s claims, which must commit while a delivery holds the
        write lock: in a file of their own beside the database's (in memory,
        for this process, beside a test database in memory)."""
        if self.connection.is_in_memory_db():  # type: ignore[attr-defined]  # SQLite's wrapper has it
            return ClaimsFile(None)
        return ClaimsFile(f"{self.connection.settings_dict['NAME']}-effects")


class ClaimsFile:
    """Claims in an SQLite file of their own (None: in memory, for this
    process), each change committed at once. An event is known by its id
    and the time it was written, so that a database made anew (a test
    run's) never meets the claims of the one before."""

    _memory: sqlite3.Connection | None = None
    _memory_lock = threading.Lock()

    def __init__(self, path: str | None):
        self.path = path

    @contextmanager
    def _database(self) -> Iterator[sqlite3.Connection]:
        if self.path is None:
            with ClaimsFile._memory_lock:
                if ClaimsFile._memory is None:
                    ClaimsFile._memory = self._made(sqlite3.connect(":memory:", check_same_thread=False,
                                                                     isolation_level=None))
                yield ClaimsFile._memory
            return
        with closing(self._made(sqlite3.connect(self.path, timeout=20, isolation_level=None))) as database:
            yield database

    @staticmethod
    def _made(database: sqlite3.Connection) -> sqlite3.Connection:
        database.execute("CREATE TABLE IF NOT EXISTS claims (event TEXT NOT NULL, key TEXT NOT NULL, state TEXT NOT "
                         "NULL, started_at TEXT NOT NULL, finished_at TEXT, PRIMARY KEY (event, key))")
        return database

    @staticmethod
    def _event(event: PaymentEvent) -> str:
        return f"{event.pk}@{event.created_at.isoformat()}"

    def claim(self, event: PaymentEvent, key: str) -> str | None:
        with self._database() as database:
            made = database.execute("INSERT OR IGNORE INTO claims (event, key, state, started_at) VALUES (?, ?, ?, ?)",
                                    (self._event(event), key, EffectClaim.STARTED, timezone.now().isoformat()))
            if made.rowcount == 1:
                return None
            row = database.execute("SELECT state FROM claims WHERE event = ? AND key = ?",
                                   (self._event(event), key)).fetchone()
            return str(row[0]) if row else EffectClaim.STARTED

    def _set(self, event: PaymentEvent, key: str, state: str) -> None:
        with self._database() as database:
            database.execute("UPDATE claims SET state = ?, finished_at = ? WHERE event = ? AND key = ?",
                             (state, timezone.now().isoformat(), self._event(event), key))

    def finish(self, event: PaymentEvent, key: str) -> None:
        self._set(event, key, EffectClaim.DONE)

    def interrupt(self, event: PaymentEvent, key: str) -> None:
        self._set(event, key, EffectClaim.INTERRUPTED)

    def release(self, event: PaymentEvent, key: str) -> None:
        with self._database() as database:
            database.execute("DELETE FROM claims WHERE event = ? AND key = ?", (self._event(event), key))

