"""A callback's way through the app: stored as it came, verified, then
applied to its payment under the payment's row lock."""

from __future__ import annotations

import hashlib
import uuid
from dataclasses import dataclass

from django.db import IntegrityError, transaction
from django.db.models import F
from django.utils import timezone

from . import conf
from .models import Callback, Payment
from .reports import apply, from_callback
from .transitions import Outcome

# Outcomes after which a redelivery changes nothing more: anything else (not
# yet processed, an order not yet known, a key not yet configured) is tried
# again when the service delivers the callback again.
SETTLED_OUTCOMES = {Outcome.APPLIED, Outcome.DUPLICATE, Outcome.STALE, Outcome.AMOUNT_MISMATCH}


@dataclass(frozen=True)
class Answer:
    status: int
    text: str


RECEIVED = Answer(200, "success")


def receive(body: bytes, signature: str, token: str | None = None) -> Answer:
    """Handles one delivery. Raises ConfigurationError or DatabaseError when
    it could not be handled; the callback then stays unprocessed."""
    callback = _store(body, signature)
    if callback.outcome in SETTLED_OUTCOMES:
        return RECEIVED
    clients = conf.clients()
    fields = _verified_fields(clients, body, signature)
    if fields is None:
        _mark(callback, Outcome.BAD_SIGNATURE, signature_ok=False)
        return Answer(400, "invalid callback signature")
    order_id, report = fields.get("order_id", ""), from_callback(fields)
    if not order_id or report is None:
        _mark(callback, Outcome.MALFORMED, signature_ok=True, order_id=order_id[:64],
              status=fields.get("status", "")[:16])
        return Answer(400, "a callback needs an order_id and a known status")
    with transaction.atomic():
        callback = Callback.objects.select_for_update().get(pk=callback.pk)
        if callback.outcome in SETTLED_OUTCOMES:
            return RECEIVED
        payment = _locked_payment(order_id, token, report)
        if payment is None:
            _mark(callback, Outcome.UNKNOWN_ORDER, signature_ok=True, order_id=order_id[:64],
                  status=report.status)
            # Perhaps the payment's transaction has not committed yet: the
            # service delivers again.
            return Answer(404, "unknown order; deliver it again")
        decision = apply(payment, report)
        _mark(callback, decision.outcome, signature_ok=True, order_id=order_id[:64], status=report.status,
              payment=payment)
    return RECEIVED


def _store(body: bytes, signature: str) -> Callback:
    """The callback's row, written and committed before any work; a
    redelivery finds the row of its first delivery through the digest."""
    digest = hashlib.sha256(signature.encode("utf-8", "replace") + b"\n" + body).hexdigest()
    try:
        with transaction.atomic():
            return Callback.objects.create(digest=digest, body=body, signature=signature[:128])
    except IntegrityError:
        Callback.objects.filter(digest=digest).update(deliveries=F("deliveries") + 1)
        return Callback.objects.get(digest=digest)


def _verified_fields(clients, body: bytes, signature: str) -> dict[str, str] | None:
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


def _locked_payment(order_id: str, token: str | None, report) -> Payment | None:
    payment = Payment.objects.select_for_update().filter(order_id=order_id).first()
    if payment is not None or not token:
        return payment
    # A payment whose order id was not saved after the service created the
    # order (the database failed, or the answer was lost to a time-out): the
    # notify URL names it, the signed body gives the id.
    try:
        token = uuid.UUID(token)
    except ValueError:
        return None
    payment = Payment.objects.select_for_update().filter(token=token, order_id__isnull=True).first()
    if payment is None or not report.amount_matches(payment):
        return None
    payment.order_id = order_id
    payment.save(update_fields=["order_id", "updated_at"])
    return payment


def _mark(callback: Callback, outcome: Outcome, **fields) -> None:
    for name, value in fields.items():
        setattr(callback, name, value)
    callback.outcome = outcome
    callback.processed_at = timezone.now()
    callback.save(update_fields=[*fields, "outcome", "processed_at"])
