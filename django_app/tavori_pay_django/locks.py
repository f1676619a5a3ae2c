"""What the app asks of a database's row locks, said once for each backend
that has them: PostgreSQL, MariaDB and MySQL. (SQLite has one write lock,
taken at a writing transaction's start; select_for_update does nothing
there.)"""

from __future__ import annotations

import math
from collections.abc import Iterator
from contextlib import contextmanager

from django.db import OperationalError, connections

# PostgreSQL's answer to NOWAIT, and to a lock_timeout that ran out.
LOCK_NOT_AVAILABLE = "55P03"
# MariaDB answers NOWAIT and an innodb_lock_wait_timeout that ran out with
# 1205; MySQL answers NOWAIT with 3572.
MYSQL_LOCK_NOT_AVAILABLE = frozenset({1205, 3572})


def lock_not_available(error: OperationalError) -> bool:
    """Whether `error` says a row was held by another transaction, rather
    than that the database failed."""
    cause = error.__cause__
    if getattr(cause, "sqlstate", None) == LOCK_NOT_AVAILABLE:
        return True
    code = getattr(cause, "args", (None,))[:1]
    return bool(code) and code[0] in MYSQL_LOCK_NOT_AVAILABLE


@contextmanager
def lock_waits_at_most(alias: str, seconds: float) -> Iterator[None]:
    """Bounds the lock waits of the statements run inside, in the
    transaction open on `alias` (SQLite bounds them by its own busy
    timeout)."""
    connection = connections[alias]
    if connection.vendor == "postgresql":
        with connection.cursor() as cursor:  # ends with the transaction
            cursor.execute("SELECT set_config('lock_timeout', %s, true)", [f"{int(seconds * 1000)}ms"])
        yield
    elif connection.vendor == "mysql":
        # A session setting, whole seconds: put back for the connection's next user.
        with connection.cursor() as cursor:
            cursor.execute("SELECT @@SESSION.innodb_lock_wait_timeout")
            (before,) = cursor.fetchone()
            cursor.execute("SET SESSION innodb_lock_wait_timeout = %s", [max(1, math.ceil(seconds))])
        try:
            yield
        finally:
            with connection.cursor() as cursor:
                cursor.execute("SET SESSION innodb_lock_wait_timeout = %s", [before])
    else:
        yield
