"""A callback's way through the app: verified, then applied to its payment
under the payment's row lock and stored with what it did, in one
transaction."""

from __future__ import annotations

import hashlib
import uuid
from contextlib import suppress
from dataclasses import dataclass

from django.db import DatabaseError, router, transaction
from django.utils import timezone

from tavori_pay import Client

from . import conf, db
from .models import Callback, Payment
from .moves import apply
from .reports import Report, from_callback
from .transitions import Outcome

# Outcomes after which a redelivery changes nothing more: anything else (not
# yet processed, an order not yet known, a key not yet configured) is tried
# again when the service delivers the callback again.
SETTLED_OUTCOMES = {Outcome.APPLIED, Outcome.DUPLICATE, Outcome.STALE, Outcome.AMOUNT_MISMATCH}
_SETTLED = sorted(outcome.value for outcome in SETTLED_OUTCOMES)
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
    if fields is None:
        return _stored(body, signature, Answer(400, "invalid callback signature", Outcome.BAD_SIGNATURE),
                       _Mark(Outcome.BAD_SIGNATURE, signature_ok=False))
    order_id, report = fields.get("order_id", ""), from_callback(fields)
    if not order_id or report is None:
        return _stored(body, signature,
                       Answer(400, "a callback needs an order_id and a known status", Outcome.MALFORMED),
                       _Mark(Outcome.MALFORMED, order_id=order_id, status=fields.get("status", "")))
    # The payment's lock orders every delivery of this callback too: a second
    # one that waited here finds the payment moved, and the outcome the first
    # one stored stays.
    payment = _locked_payment(order_id, token, report)
    if payment is None:
        # Perhaps the payment's transaction has not committed yet: the
        # service delivers again.
        return _stored(body, signature, Answer(404, "unknown order; deliver it again", Outcome.UNKNOWN_ORDER),
                       _Mark(Outcome.UNKNOWN_ORDER, order_id=order_id, status=report.status))
    decision = apply(payment, report)
    return _stored(body, signature, received(decision.outcome),
                   _Mark(decision.outcome, order_id=order_id, status=report.status, payment_id=payment.pk))


@dataclass(frozen=True)
class _Mark:
    """What a callback did, as its row records it."""
    outcome: Outcome
    signature_ok: bool = True
    order_id: str = ""
    status: str = ""
    payment_id: int | None = None


def _stored(body: bytes, signature: str, answer: Answer, mark: _Mark) -> Answer:
    """`answer`, once the callback's row records `mark`. A callback
    delivered again after its outcome was settled keeps that outcome, and
    is answered as taken."""
    outcome = _store(body, signature, verified=mark.signature_ok, mark=mark)
    if outcome != mark.outcome and outcome in SETTLED_OUTCOMES:
        return received("redelivered")
    return answer


def refused_too_large(signature: str) -> None:
    """Records a callback refused unread for its size, for the health page:
    a row of its own (a random digest), with no body. A database that fails
    here changes nothing: the refusal is the answer either way."""
    with suppress(DatabaseError):
        Callback.objects.using(router.db_for_write(Callback)).create(
            digest=hashlib.sha256(uuid.uuid4().bytes).hexdigest(), body=b"", signature=signature[:128],
            outcome=Callback.TOO_LARGE, processed_at=timezone.now())


def _store(body: bytes, signature: str, verified: bool, mark: _Mark | None = None) -> str:
    """Writes the callback's row with what it did (None: nothing yet), and
    returns the outcome the row holds. A delivery again meets the unique
    digest of the first one and counts itself, and its outcome replaces
    the row's unless that one was settled: one statement either way (two
    on MariaDB and MySQL). Of a body no key verified, only the first bytes
    are kept: enough to trace it, too few for forged posts to fill the
    database."""
    digest = hashlib.sha256(signature.encode("utf-8", "replace") + b"\n" + body).hexdigest()
    body = body if verified else body[:UNVERIFIED_BYTES_KEPT]
    marked = None if mark is None else (None, mark.signature_ok, mark.order_id[:64], mark.status[:16],
                                        mark.payment_id, mark.outcome.value)
    return db.operations(router.db_for_write(Callback)).store_callback(
        db.CallbackRow(digest, body, signature[:128], marked), _SETTLED)


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
    found = db.operations(router.db_for_write(Payment)).locked_payment(order_id)
    if found is not None:
        return found
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
