"""`once(event, key)`: an effect outside the database (an email, a call to a
warehouse) done at most once for a payment event, however often the event
is delivered to the receiver that does it:

    @receiver(payment_status_changed)
    def fulfil(sender, payment, new, event, **kwargs):
        ...
        with once(event, "confirmation email") as due:
            if due:
                send_confirmation(order)

The effect is claimed for the event and the key, and the claim committed on
a connection of its own, before the block runs: a rollback of the
receiver's transaction, or the receiver raising after the block, cannot undo
it, and the next delivery skips the block (`due` is False). A block that
raises releases the claim, so that the next delivery does the effect again.
A process that dies inside the block leaves the claim started: the next
delivery does not do the effect again (it may have happened) but flags the
payment for review, naming the key, for a person to check.

On SQLite, whose one write lock the delivery holds, the claims are kept in
a database file of their own beside the project's."""

from __future__ import annotations

import hashlib
from collections.abc import Iterator
from contextlib import contextmanager

from django.db import IntegrityError, router, transaction
from django.utils import timezone

from .. import db
from ..db.base import Claims
from ..models import EffectClaim, Payment, PaymentEvent
from ..own_connection import apart_from_callers_transaction
from ..transitions import Status
from . import events

# The review code of an effect found started and never finished: one per
# event and key, so that each is flagged once.
INTERRUPTED = "interrupted_"
KEY_LENGTH = 200


@contextmanager
def once(event: PaymentEvent, key: str) -> Iterator[bool]:
    """Yields whether the effect named `key` is due for `event`: True once,
    with the claim committed, False on every delivery after one whose block
    ended without raising (or was cut off: then the payment is flagged for
    review)."""
    if not isinstance(key, str) or not key.strip() or len(key) > KEY_LENGTH:
        raise ValueError(f"once() takes a key of 1 to {KEY_LENGTH} characters naming the effect, not {key!r}")
    if not isinstance(event, PaymentEvent) or event.pk is None:
        raise TypeError("once() takes the event a receiver was handed (its `event` argument)")
    claims = _claims()
    found = claims.claim(event, key)
    if found is None:
        try:
            yield True
        except Exception:  # the effect failed: the next delivery tries it again
            claims.release(event, key)
            raise
        claims.finish(event, key)
        return
    if found != EffectClaim.DONE:
        if found == EffectClaim.STARTED:
            claims.interrupt(event, key)
        _flag(event, key)
    yield False


def _flag(event: PaymentEvent, key: str) -> None:
    """The payment flagged for review, with an event naming the effect, in
    the delivery's transaction: undone with it, and flagged again by the
    next delivery, which finds the claim interrupted."""
    payment = event.payment
    code = INTERRUPTED + hashlib.blake2b(f"{event.pk}\n{key}".encode(), digest_size=8).hexdigest()
    reason = (f"{key!r} for event {event.pk} ({event.previous or event.kind} → {event.stage}) was started and never "
              "finished (the process died inside it): it may or may not have happened; check it, and do it by "
              "hand if it did not")
    Payment.objects.using(router.db_for_write(Payment)).filter(pk=payment.pk).update(needs_review=True)
    events.record(payment, Status(payment.status), None, [(code, reason)])


def _claims() -> Claims:
    alias = router.db_for_write(EffectClaim)
    kept_apart = db.operations(alias).claims_file()
    return kept_apart if kept_apart is not None else _DatabaseClaims(alias)


class _DatabaseClaims:
    """EffectClaim rows, each change committed on a connection of its own."""

    def __init__(self, alias: str):
        self.alias = alias

    def claim(self, event: PaymentEvent, key: str) -> str | None:
        def claim() -> str | None:
            rows = EffectClaim.objects.using(self.alias)
            try:
                with transaction.atomic(using=self.alias):
                    rows.create(event_id=event.pk, key=key, state=EffectClaim.STARTED, started_at=timezone.now())
                return None
            except IntegrityError:
                found = rows.filter(event_id=event.pk, key=key).values_list("state", flat=True).first()
                return found or EffectClaim.STARTED  # released meanwhile: taken as started, never done twice
        return apart_from_callers_transaction(self.alias, claim)

    def _change(self, event: PaymentEvent, key: str, **changes: object) -> None:
        rows = EffectClaim.objects.using(self.alias).filter(event_id=event.pk, key=key)
        apart_from_callers_transaction(self.alias, lambda: rows.update(**changes))

    def finish(self, event: PaymentEvent, key: str) -> None:
        self._change(event, key, state=EffectClaim.DONE, finished_at=timezone.now())

    def interrupt(self, event: PaymentEvent, key: str) -> None:
        self._change(event, key, state=EffectClaim.INTERRUPTED)

    def release(self, event: PaymentEvent, key: str) -> None:
        rows = EffectClaim.objects.using(self.alias).filter(event_id=event.pk, key=key)
        apart_from_callers_transaction(self.alias, lambda: rows.delete())
