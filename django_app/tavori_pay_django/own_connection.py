"""Writes that must outlive the caller's transaction: a payment row that
names an order the service is about to create stays, even when the view
that asked for it rolls back afterwards (ATOMIC_REQUESTS, or the shop's own
atomic block)."""

from __future__ import annotations

import threading
from collections.abc import Callable

from django.db import connections
from django.db.transaction import TransactionManagementError

from . import db


def apart_from_callers_transaction[T](alias: str, work: Callable[[], T]) -> T:
    """`work`'s result, its writes committed as it makes them: on the
    caller's connection when no transaction of the caller's is open there,
    else on a connection of its own (another thread's), so that a rollback
    of the caller's cannot undo them. A test case's own transaction counts
    as none, as it does for Django's durable atomic blocks."""
    connection = connections[alias]
    # Django's test cases mark their blocks _from_testcase; atomic(durable=True)
    # reads the same mark. test_checkout covers both sides of it.
    if not any(not getattr(block, "_from_testcase", False) for block in connection.atomic_blocks):
        return work()
    if db.operations(alias).one_write_lock:
        raise TransactionManagementError(
            "start_payment cannot run inside a transaction on SQLite: the transaction holds the database's write "
            "lock, so the payment could not be written apart from it, and a rollback after the service created "
            "the order would leave money taken for a payment the shop never knew. Decorate the view with "
            "django.db.transaction.non_atomic_requests, call start_payment outside atomic(), or use PostgreSQL.")
    outcome: list[T] = []
    failure: list[BaseException] = []

    def run() -> None:
        try:
            outcome.append(work())
        except BaseException as error:  # handed to the caller's thread
            failure.append(error)
        finally:
            connections.close_all()

    thread = threading.Thread(target=run, name="tavori_pay start_payment")
    thread.start()
    thread.join()
    if failure:
        raise failure[0]
    return outcome[0]
