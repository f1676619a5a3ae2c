"""A callback's way through the app: verified, then stored and applied to
its payment under the payment's row lock, in one transaction."""

from __future__ import annotations

import hashlib
import uuid
from contextlib import suppress
from dataclasses import dataclass

from django.db import DatabaseError, connections, router, transaction
from django.db.backends.base.base import BaseDatabaseWrapper
from django.utils import timezone
from tavori_pay import Client

from . import conf, plain_sql
from .models import Callback, Payment
from .reports import Report, apply, from_callback
from .transitions import Outcome

# Outcomes after which a redelivery changes nothing more: anything else (not
# yet processed, an order not yet known, a key not yet configured) is tried
# again when the service delivers the callback again.
SETTLED_OUTCOMES = {Outcome.APPLIED, Outcome.DUPLICATE, Outcome.STALE, Outcome.AMOUNT_MISMATCH}
UNVERIFIED_BYTES_KEPT = 512


@dataclass(frozen=True)
class Answer:
    status: int
    text: str
    outcome: str  # what the delivery did, as the metrics count it


def received(outcome: str) -> Answer:
    return Answer(200, "success", outcome)


def receive(body: bytes, signature: str, token: str | None = None) -> Answer:
    """Handles one delivery. The callback's row, the move it makes and the
    move's events commit together; when anything fails the callback is still
    stored, unprocessed, and ConfigurationError or DatabaseError is raised.
    The events are handed to the shop's receivers after the commit, and
    what a receiver does never changes the answer."""
    try:
        fields = _verified_fields(conf.clients(), body, signature)
        with transaction.atomic(using=router.db_for_write(Callback)):
            return _take_in(body, signature, token, fields)
    except BaseException:
        with suppress(Exception):  # the database itself may be what failed
            _store(body, signature, verified=False)
        raise


def _take_in(body: bytes, signature: str, token: str | None, fields: dict[str, str] | None) -> Answer:
    callback_id, outcome = _store(body, signature, verified=fields is not None)
    if outcome in SETTLED_OUTCOMES:
        return received("redelivered")
    if fields is None:
        _mark(callback_id, Outcome.BAD_SIGNATURE, signature_ok=False)
        return Answer(400, "invalid callback signature", Outcome.BAD_SIGNATURE)
    order_id, report = fields.get("order_id", ""), from_callback(fields)
    if not order_id or report is None:
        _mark(callback_id, Outcome.MALFORMED, signature_ok=True, order_id=order_id[:64],
              status=fields.get("status", "")[:16])
        return Answer(400, "a callback needs an order_id and a known status", Outcome.MALFORMED)
    # The payment's lock orders every delivery of this callback too: a second
    # one that waited here finds the payment moved, and its mark below does
    # not overwrite the first one's.
    payment = _locked_payment(order_id, token, report)
    if payment is None:
        _mark(callback_id, Outcome.UNKNOWN_ORDER, signature_ok=True, order_id=order_id[:64], status=report.status)
        # Perhaps the payment's transaction has not committed yet: the
        # service delivers again.
        return Answer(404, "unknown order; deliver it again", Outcome.UNKNOWN_ORDER)
    decision = apply(payment, report)
    _mark(callback_id, decision.outcome, signature_ok=True, order_id=order_id[:64], status=report.status,
          payment=payment)
    return received(decision.outcome)


def refused_too_large(signature: str) -> None:
    """Records a callback refused unread for its size, for the health page:
    a row of its own (a random digest), with no body. A database that fails
    here changes nothing: the refusal is the answer either way."""
    with suppress(DatabaseError):
        Callback.objects.using(router.db_for_write(Callback)).create(
            digest=hashlib.sha256(uuid.uuid4().bytes).hexdigest(), body=b"", signature=signature[:128],
            outcome=Callback.TOO_LARGE, processed_at=timezone.now())


def _store(body: bytes, signature: str, verified: bool) -> tuple[int, str]:
    """Writes the callback's row, and returns its id and outcome so far. A
    redelivery meets the unique digest of its first delivery and only counts
    itself: one statement either way (two on MariaDB and MySQL). Of a body
    no key verified, only the first bytes are kept: enough to trace it, too
    few for forged posts to fill the database."""
    digest = hashlib.sha256(signature.encode("utf-8", "replace") + b"\n" + body).hexdigest()
    body = body if verified else body[:UNVERIFIED_BYTES_KEPT]
    database, table = _callback_table()
    mysql = database.vendor == "mysql"
    # MySQL's driver sends bytes as text in the connection's character set
    # unless told they are binary.
    insert = (f"INSERT INTO {table} (digest, body, signature, order_id, status, outcome, deliveries, received_at) "
              f"VALUES (%s, {'_binary %s' if mysql else '%s'}, %s, '', '', %s, 1, %s) ")
    values = [digest, body, signature[:128], Callback.UNPROCESSED, _now(database)]
    with database.cursor() as cursor:
        if mysql:
            # No RETURNING beside ON DUPLICATE KEY: the row, locked by the
            # insert or the update until the commit, is read back.
            cursor.execute(insert + "ON DUPLICATE KEY UPDATE deliveries = deliveries + 1", values)
            cursor.execute(f"SELECT id, outcome FROM {table} WHERE digest = %s", [digest])
        else:
            cursor.execute(insert + f"ON CONFLICT (digest) DO UPDATE SET deliveries = {table}.deliveries + 1 "
                                    "RETURNING id, outcome", values)
        row = cursor.fetchone()
        return int(row[0]), str(row[1])


def _verified_fields(clients: list[Client], body: bytes, signature: str) -> dict[str, str] | None:
    """The callback's fields when one of the sponsor keys signed it; a body
    that was signed but is not valid JSON gives no fields at all."""
    try:
        text = body.decode("utf-8")
    except UnicodeDecodeError:
        return None
    for client in clients:
        try:
            return client.verify_callback(text, signature)
        except RuntimeError as error:
            if not str(error).startswith("Invalid callback signature"):
                return {}
    return None


def _locked_payment(order_id: str, token: str | None, report: Report) -> Payment | None:
    found = plain_sql.select(Payment, router.db_for_write(Payment), "order_id = %s", [order_id], lock=True)
    if found:
        return found[0]
    if not token:
        return None
    # A payment whose order id was not saved after the service created the
    # order (the database failed, or the answer was lost to a time-out): the
    # notify URL names it, the signed body gives the id.
    try:
        key = uuid.UUID(token)
    except ValueError:
        return None
    payment = Payment.objects.select_for_update().filter(token=key, order_id__isnull=True).first()
    if payment is None or not report.amount_matches(payment):
        return None
    payment.order_id = order_id
    payment.save(update_fields=["order_id", "updated_at"])
    return payment


def _mark(callback_id: int, outcome: Outcome, *, signature_ok: bool, order_id: str = "", status: str = "",
          payment: Payment | None = None) -> None:
    """Records what the callback did, unless another delivery of it already
    settled that. One plain statement: it runs for every callback."""
    database, table = _callback_table()
    settled = ", ".join(["%s"] * len(SETTLED_OUTCOMES))
    with database.cursor() as cursor:
        cursor.execute(
            f"UPDATE {table} SET outcome = %s, processed_at = %s, signature_ok = %s, order_id = %s, status = %s, "
            f"payment_id = %s WHERE id = %s AND outcome NOT IN ({settled})",
            [outcome.value, _now(database), signature_ok, order_id, status, payment.pk if payment else None,
             callback_id, *(o.value for o in SETTLED_OUTCOMES)])


def _now(database: BaseDatabaseWrapper) -> str | None:
    """Now, as the database's plain statements take a time: MySQL's driver
    would write an aware time with its offset."""
    return database.ops.adapt_datetimefield_value(timezone.now())


def _callback_table() -> tuple[BaseDatabaseWrapper, str]:
    """The connection callbacks are written on, and their table's quoted name,
    for the two plain statements every callback runs."""
    database = connections[router.db_for_write(Callback)]
    return database, database.ops.quote_name(Callback._meta.db_table)
