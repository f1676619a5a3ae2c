"""The sandbox's state in SQLite: accounts, orders, seen nonces, callbacks
waiting to be delivered and the log of delivery attempts. One connection
guarded by one lock, so concurrent requests are safe; a file database keeps
orders across restarts."""

from __future__ import annotations

import secrets
import sqlite3
import threading
from dataclasses import dataclass, field
from decimal import Decimal
from typing import Any

from . import states

SCHEMA = """
CREATE TABLE IF NOT EXISTS accounts (
    community_key TEXT PRIMARY KEY,
    sponsor_key TEXT NOT NULL,
    merchant TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS orders (
    order_id TEXT PRIMARY KEY,
    community_key TEXT NOT NULL REFERENCES accounts(community_key),
    amount TEXT NOT NULL,
    currency TEXT NOT NULL,
    recipient_account TEXT NOT NULL,
    recipient_share TEXT NOT NULL,
    pay_mode TEXT NOT NULL,
    notify_url TEXT NOT NULL,
    return_url TEXT NOT NULL,
    created REAL NOT NULL,
    expires REAL NOT NULL,
    pay_status INTEGER NOT NULL,
    settle_status INTEGER NOT NULL,
    refund_status INTEGER NOT NULL,
    settle_amount TEXT NOT NULL,
    settle_due REAL,
    fail_reason TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS nonces (
    community_key TEXT NOT NULL,
    nonce TEXT NOT NULL,
    seen REAL NOT NULL,
    PRIMARY KEY (community_key, nonce)
);
CREATE INDEX IF NOT EXISTS nonces_by_age ON nonces (seen);
CREATE INDEX IF NOT EXISTS orders_by_state ON orders (pay_status, settle_status);
-- Every status query first expires and settles what is due: without these
-- it would read every open (or every paid, unsettled) order.
CREATE INDEX IF NOT EXISTS orders_by_expiry ON orders (pay_status, expires);
CREATE INDEX IF NOT EXISTS orders_by_settlement ON orders (pay_status, settle_status, settle_due);
CREATE TABLE IF NOT EXISTS deliveries (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    order_id TEXT NOT NULL,
    event TEXT NOT NULL,
    attempt INTEGER NOT NULL,
    at REAL NOT NULL,
    outcome TEXT NOT NULL
);
-- Callbacks not yet delivered, kept so that a restart resumes them: the
-- attempts already made and when the next one is due.
CREATE TABLE IF NOT EXISTS pending_deliveries (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    order_id TEXT NOT NULL,
    event TEXT NOT NULL,
    url TEXT NOT NULL,
    body TEXT NOT NULL,
    signature TEXT NOT NULL,
    attempts INTEGER NOT NULL,
    due REAL NOT NULL
);
CREATE INDEX IF NOT EXISTS pending_by_order ON pending_deliveries (order_id, id);
CREATE TABLE IF NOT EXISTS settings (
    name TEXT PRIMARY KEY,
    value TEXT NOT NULL
);
"""

NONCE_MEMORY = 900  # seconds a nonce is remembered: well past the timestamp window


@dataclass(frozen=True)
class Account:
    community_key: str
    sponsor_key: str = field(repr=False)  # a secret: never in a representation
    merchant: str = "Sandbox Merchant"


class Store:
    def __init__(self, path: str):
        self._lock = threading.Lock()
        self._db = sqlite3.connect(path, check_same_thread=False, isolation_level=None)
        self._db.row_factory = sqlite3.Row
        with self._lock:
            # Every request writes (its nonce at least): with the write-ahead
            # log, a commit does not wait for the disk each time, and a crash
            # of the sandbox still loses nothing it answered.
            self._db.execute("PRAGMA journal_mode = WAL")
            self._db.execute("PRAGMA synchronous = NORMAL")
            self._db.executescript(SCHEMA)

    def close(self) -> None:
        with self._lock:
            self._db.close()

    def _run(self, sql: str, parameters: tuple[Any, ...] = ()) -> list[sqlite3.Row]:
        with self._lock:
            return self._db.execute(sql, parameters).fetchall()

    def add_account(self, account: Account) -> None:
        self._run("INSERT OR REPLACE INTO accounts VALUES (?, ?, ?)",
                  (account.community_key, account.sponsor_key, account.merchant))

    def account(self, community_key: str) -> Account | None:
        rows = self._run("SELECT * FROM accounts WHERE community_key = ?", (community_key,))
        return Account(**dict(rows[0])) if rows else None

    def accounts(self) -> list[Account]:
        return [Account(**dict(row)) for row in self._run("SELECT * FROM accounts")]

    def demo_account(self) -> Account:
        """The store's demo account, made on first use and kept, so that a
        restart on the same database keeps its keys and orders."""
        with self._lock:
            self._db.execute("BEGIN IMMEDIATE")
            try:
                row = self._db.execute("SELECT value FROM settings WHERE name = 'demo_account'").fetchone()
                if row is not None:
                    found = self._db.execute("SELECT * FROM accounts WHERE community_key = ?",
                                             (row["value"],)).fetchone()
                    self._db.execute("COMMIT")
                    return Account(**dict(found))
                demo = Account(f"demo-{secrets.token_hex(4)}", secrets.token_urlsafe(24), "Demo Shop")
                self._db.execute("INSERT INTO accounts VALUES (?, ?, ?)",
                                 (demo.community_key, demo.sponsor_key, demo.merchant))
                self._db.execute("INSERT INTO settings VALUES ('demo_account', ?)", (demo.community_key,))
                self._db.execute("COMMIT")
                return demo
            except BaseException:
                self._db.execute("ROLLBACK")
                raise

    def remember_nonce(self, community_key: str, nonce: str, now: float) -> bool:
        """False when the account has used the nonce before (a replay)."""
        with self._lock:
            self._db.execute("DELETE FROM nonces WHERE seen < ?", (now - NONCE_MEMORY,))
            try:
                self._db.execute("INSERT INTO nonces VALUES (?, ?, ?)", (community_key, nonce, now))
            except sqlite3.IntegrityError:
                return False
            return True

    def add_order(self, order: dict[str, Any]) -> None:
        columns = ", ".join(order)
        marks = ", ".join("?" for _ in order)
        self._run(f"INSERT INTO orders ({columns}) VALUES ({marks})", tuple(order.values()))

    def order(self, order_id: str) -> dict[str, Any] | None:
        rows = self._run("SELECT * FROM orders WHERE order_id = ?", (order_id,))
        return dict(rows[0]) if rows else None

    def orders(self) -> list[dict[str, Any]]:
        return [dict(row) for row in self._run("SELECT * FROM orders ORDER BY created DESC")]

    def change_order(self, order_id: str, expected: dict[str, Any], changes: dict[str, Any]) -> dict[str, Any] | None:
        """Applies `changes` only while the order still has the `expected`
        values, so that two requests cannot both move it (pay and decline),
        and returns the order as the change left it; None when it did not
        apply."""
        settings = ", ".join(f"{column} = ?" for column in changes)
        conditions = " AND ".join(f"{column} = ?" for column in expected)
        with self._lock:
            cursor = self._db.execute(
                f"UPDATE orders SET {settings} WHERE order_id = ? AND {conditions}",
                (*changes.values(), order_id, *expected.values()))
            if cursor.rowcount != 1:
                return None
            return dict(self._db.execute("SELECT * FROM orders WHERE order_id = ?", (order_id,)).fetchone())

    def due_expiries(self, now: float) -> list[str]:
        rows = self._run("SELECT order_id FROM orders WHERE pay_status = ? AND expires <= ?",
                         (states.AWAITING_PAYMENT, now))
        return [row["order_id"] for row in rows]

    def due_settlements(self, now: float) -> list[str]:
        rows = self._run("SELECT order_id FROM orders WHERE pay_status = ? AND settle_status = ? "
                         "AND refund_status = ? AND settle_due <= ?",
                         (states.PAID, states.NOT_SETTLED, states.NOT_REFUNDED, now))
        return [row["order_id"] for row in rows]

    def record_delivery(self, order_id: str, event: str, attempt: int, outcome: str, at: float) -> None:
        self._run("INSERT INTO deliveries (order_id, event, attempt, at, outcome) VALUES (?, ?, ?, ?, ?)",
                  (order_id, event, attempt, at, outcome))

    def forget_orders(self) -> None:
        """Every order, delivery and nonce gone; the accounts stay."""
        with self._lock:
            self._db.executescript("DELETE FROM pending_deliveries; DELETE FROM deliveries; DELETE FROM orders; "
                                   "DELETE FROM nonces;")

    def add_pending(self, order_id: str, event: str, url: str, body: str, signature: str, due: float) -> None:
        self._run("INSERT INTO pending_deliveries (order_id, event, url, body, signature, attempts, due) "
                  "VALUES (?, ?, ?, ?, ?, 0, ?)", (order_id, event, url, body, signature, due))

    def next_pending(self, order_id: str, newest: bool = False) -> dict[str, Any] | None:
        """The order's oldest undelivered callback, the next one it must get
        (or its newest, to deliver out of order)."""
        rows = self._run(f"SELECT * FROM pending_deliveries WHERE order_id = ? ORDER BY id {'DESC' if newest else ''} "
                         "LIMIT 1", (order_id,))
        return dict(rows[0]) if rows else None

    def has_due_pending(self, order_id: str, now: float) -> bool:
        return bool(self._run("SELECT 1 FROM pending_deliveries WHERE order_id = ? AND due <= ? LIMIT 1",
                              (order_id, now)))

    def bring_forward(self, order_id: str, due: float) -> None:
        """The order's waiting callbacks due by `due` at the latest."""
        self._run("UPDATE pending_deliveries SET due = ? WHERE order_id = ? AND due > ?", (due, order_id, due))

    def retry_pending(self, pending_id: int, attempts: int, due: float) -> None:
        self._run("UPDATE pending_deliveries SET attempts = ?, due = ? WHERE id = ?", (attempts, due, pending_id))

    def drop_pending(self, pending_id: int) -> None:
        self._run("DELETE FROM pending_deliveries WHERE id = ?", (pending_id,))

    def orders_with_pending(self) -> list[str]:
        return [row["order_id"] for row in
                self._run("SELECT order_id FROM pending_deliveries GROUP BY order_id ORDER BY MIN(id)")]

    def deliveries(self, order_id: str | None = None) -> list[dict[str, Any]]:
        if order_id is None:
            return [dict(row) for row in self._run("SELECT * FROM deliveries ORDER BY id")]
        return [dict(row) for row in self._run("SELECT * FROM deliveries WHERE order_id = ? ORDER BY id",
                                               (order_id,))]


def money(value: Decimal) -> str:
    return str(value.quantize(Decimal("0.01")))
