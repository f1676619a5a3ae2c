"""A payment as the shop keeps it, every callback the service sent about it,
and every stage it reached, as an event for the shop's receivers."""

from __future__ import annotations

import asyncio
import uuid
from functools import cached_property

from asgiref.sync import sync_to_async
from django.contrib.contenttypes.fields import GenericForeignKey
from django.contrib.contenttypes.models import ContentType
from django.db import models

from .transitions import PAID_STAGES, Outcome, Status

ORDER_KEY_LENGTH = 255


class PaymentQuerySet(models.QuerySet["Payment"]):
    def for_order(self, order: models.Model) -> PaymentQuerySet:
        """The payments started for the shop's `order` (start_payment's
        `order=`), newest first. The order's content type is matched in the
        query, not looked up while it is built: async code (`afirst()`) may
        not query synchronously, as ContentType's cache would on first use."""
        concrete = order._meta.concrete_model  # as get_for_model keeps a proxy's
        model = (concrete or type(order))._meta
        return self.filter(order_type__app_label=model.app_label, order_type__model=model.model_name,
                           order_key=str(order.pk))


class Payment(models.Model):
    class PayMode(models.TextChoices):
        SPLIT = "split"
        DIRECT = "direct"

    # Empty only while the service is being asked to create the order, or
    # when that failed: such a payment has no pay URL and cannot be paid.
    order_id = models.CharField(max_length=64, unique=True, null=True, blank=True)
    # Goes into the notify URL, so that a callback finds its payment even if
    # the order id could not be saved after the service created the order.
    token = models.UUIDField(default=uuid.uuid4, unique=True, editable=False)
    reference = models.CharField(max_length=128, db_index=True,
                                 help_text="The shop's own reference, such as its order number.")
    # The shop's own object the payment is for, when start_payment was given
    # one: a generic relation, so that any model (and any primary key) can be
    # an order. The payment outlives the order: money records are kept.
    order_type = models.ForeignKey(ContentType, null=True, blank=True, on_delete=models.PROTECT, related_name="+")
    order_key = models.CharField(max_length=ORDER_KEY_LENGTH, blank=True)
    order = GenericForeignKey("order_type", "order_key")
    amount = models.DecimalField(max_digits=17, decimal_places=2)
    currency = models.CharField(max_length=8)
    pay_mode = models.CharField(max_length=8, choices=PayMode.choices, default=PayMode.SPLIT)
    recipient_account = models.CharField(max_length=128, blank=True)
    pay_url = models.URLField(max_length=512, blank=True)
    status = models.CharField(max_length=16, choices=[(s.value, s.value) for s in Status],
                              default=Status.PENDING.value, db_index=True)
    settled_amount = models.DecimalField(max_digits=17, decimal_places=2, null=True, blank=True)
    failure_reason = models.CharField(max_length=255, blank=True)
    expires_at = models.DateTimeField(null=True, blank=True)
    needs_review = models.BooleanField(default=False, db_index=True)
    # When reconciliation last asked the service about the payment.
    reconciled_at = models.DateTimeField(null=True, blank=True)
    created_at = models.DateTimeField(auto_now_add=True, db_index=True)
    updated_at = models.DateTimeField(auto_now=True)

    objects = PaymentQuerySet.as_manager()

    class Meta:
        ordering = ["-created_at"]
        constraints = [models.CheckConstraint(condition=models.Q(amount__gt=0), name="tavori_pay_amount_positive")]
        indexes = [models.Index(fields=["order_type", "order_key"], name="tavori_pay_payment_order")]

    def __str__(self) -> str:
        return f"{self.order_id or 'uncreated'} ({self.reference}): {self.amount} {self.currency} {self.status}"

    @cached_property
    def events_taken(self) -> bool | None:
        """Whether every receiver has taken every event of the payment, asked
        once per instance. None in async code, which may not query the
        database synchronously: an async view asks `await
        payment.aevents_taken()` before it renders the status include."""
        try:
            asyncio.get_running_loop()
        except RuntimeError:
            return not PaymentEvent.objects.using(self._state.db).filter(payment_id=self.pk,
                                                                         delivered_at=None).exists()
        return None

    async def aevents_taken(self) -> bool:
        """events_taken for async code, kept for the template that reads it."""
        self.__dict__.pop("events_taken", None)  # None, if asked on the event loop before
        taken = await sync_to_async(lambda: self.events_taken)()
        assert taken is not None  # asked off the event loop
        return taken


# Signed callbacks reporting money taken for an order the shop does not know:
# the service created it for a payment row that is gone, or never was.
UNPLACED_MONEY = models.Q(outcome=Outcome.UNKNOWN_ORDER.value, signature_ok=True,
                          status__in=[status.value for status in PAID_STAGES])


class Callback(models.Model):
    """One distinct callback, stored as it arrived before anything in it is
    believed. A redelivery of the same signed body is the same callback:
    the unique digest catches it, and `deliveries` counts the arrivals."""

    UNPROCESSED = "unprocessed"
    # Refused unread for its size: no body is kept, and nothing is believed.
    TOO_LARGE = "too_large"

    payment = models.ForeignKey(Payment, null=True, blank=True, on_delete=models.PROTECT,
                                related_name="callbacks")
    digest = models.CharField(max_length=64, unique=True, help_text="SHA-256 of the signature and the body.")
    body = models.BinaryField()
    signature = models.CharField(max_length=128, blank=True)
    signature_ok = models.BooleanField(null=True)
    order_id = models.CharField(max_length=64, blank=True, db_index=True)
    status = models.CharField(max_length=16, blank=True)
    outcome = models.CharField(max_length=16, default=UNPROCESSED,
                               choices=[(UNPROCESSED, UNPROCESSED), (TOO_LARGE, "too large")] +
                                       [(o.value, o.label) for o in Outcome])
    deliveries = models.PositiveIntegerField(default=1)
    received_at = models.DateTimeField(auto_now_add=True)
    processed_at = models.DateTimeField(null=True, blank=True)

    class Meta:
        ordering = ["received_at", "id"]
        indexes = [models.Index(fields=["received_at"], name="tavori_pay_callback_received")]

    def __str__(self) -> str:
        return f"{self.status or 'callback'} for {self.order_id or '?'}: {self.outcome}"


class PaymentEvent(models.Model):
    """One stage a payment reached, or one reason it needs a person's review,
    written in the transaction that moved it and delivered to the shop's
    receivers after the commit until each of them has returned. A receiver
    that keeps `id` of the events it handled handles each one once."""

    STATUS = "status"
    REVIEW = "review"

    payment = models.ForeignKey(Payment, on_delete=models.PROTECT, related_name="events")
    kind = models.CharField(max_length=8, choices=[(STATUS, "status changed"), (REVIEW, "needs review")])
    # The status reached, or for a review the code of what it is about
    # (delivery.events.AMOUNT_MISMATCH...).
    stage = models.CharField(max_length=32)
    previous = models.CharField(max_length=16, blank=True)
    reason = models.CharField(max_length=255, blank=True)
    created_at = models.DateTimeField(auto_now_add=True)
    # The receivers it is for, by name, one a line: those every process
    # connects while loading, as they were when it was written. None for an
    # event written before events named them: it is for the receivers of the
    # process that delivers it.
    receivers = models.TextField(null=True, blank=True)  # noqa: DJ001  (None and "" differ, as said above)
    # The receivers that have returned, by name, one a line.
    delivered_to = models.TextField(blank=True)
    attempts = models.PositiveIntegerField(default=0)
    last_error = models.TextField(blank=True)
    last_attempt_at = models.DateTimeField(null=True, blank=True)
    next_attempt_at = models.DateTimeField(null=True, blank=True)
    delivered_at = models.DateTimeField(null=True, blank=True, db_index=True)

    class Meta:
        ordering = ["id"]
        constraints = [models.UniqueConstraint(fields=["payment", "kind", "stage"], name="tavori_pay_event_once")]

    def __str__(self) -> str:
        what = f"{self.previous} → {self.stage}" if self.kind == self.STATUS else f"review: {self.stage}"
        return f"{self.payment.order_id or self.payment.reference}: {what}"

    @property
    def delivered(self) -> bool:
        return self.delivered_at is not None

    def receivers_returned(self) -> list[str]:
        return self.delivered_to.splitlines()

    def receivers_waiting(self) -> list[str]:
        """The receivers it is for that have not returned."""
        returned = set(self.receivers_returned())
        return [name for name in (self.receivers or "").splitlines() if name not in returned]


class ReconcileRun(models.Model):
    """One run of `manage.py tavori_pay_reconcile`, for the health page: when
    it ran, and what it found."""

    started_at = models.DateTimeField(db_index=True)
    finished_at = models.DateTimeField()
    asked = models.PositiveIntegerField(help_text="Payments asked about.")
    moved = models.PositiveIntegerField(help_text="Payments the service's answer moved.")
    refused = models.PositiveIntegerField(help_text="Queries the service refused or did not answer.")
    summary = models.CharField(max_length=255)

    class Meta:
        ordering = ["-started_at"]

    def __str__(self) -> str:
        return f"{self.started_at:%Y-%m-%d %H:%M}: {self.summary}"


class ReferenceLock(models.Model):
    """A row per shop reference (by a 64-bit key of it), locked on MariaDB
    and MySQL while a transaction decides about the reference's payments.
    PostgreSQL and SQLite do without."""

    lock_key = models.BigIntegerField(primary_key=True)

    class Meta:
        default_permissions = ()

    def __str__(self) -> str:
        return f"reference lock {self.lock_key}"


class PaymentsHealth(Payment):
    """The admin's "Payments health" page: a proxy, so that the page is
    listed with the app's models; it holds no data of its own."""

    class Meta:
        proxy = True
        verbose_name = verbose_name_plural = "payments health"


class SlowReceiver(models.Model):
    """A receiver that took longer than delivery.slow_receivers.SLOW_AFTER
    with an event, for the health page: a receiver delivered in the web
    process holds the worker that answered the callback that long."""

    receiver = models.CharField(max_length=255, primary_key=True)
    times = models.PositiveIntegerField(default=0)
    slowest_seconds = models.FloatField(default=0.0)
    last_seconds = models.FloatField(default=0.0)
    last_at = models.DateTimeField()

    class Meta:
        default_permissions = ()

    def __str__(self) -> str:
        return f"{self.receiver}: {self.last_seconds:.1f} s"


class EffectClaim(models.Model):
    """An effect outside the database that a receiver does for an event
    (`tavori_pay_django.once`), claimed on a connection of its own before it
    is done: `started` until it is, then `done`; `interrupted` when a later
    delivery found it started and never finished. No foreign key to the
    event: the delivery that claims holds the event's row locked, and a
    key's check would wait for it."""

    STARTED, DONE, INTERRUPTED = "started", "done", "interrupted"

    event_id = models.BigIntegerField()
    key = models.CharField(max_length=200)
    state = models.CharField(max_length=12, choices=[(STARTED, "started"), (DONE, "done"),
                                                      (INTERRUPTED, "interrupted")])
    started_at = models.DateTimeField()
    finished_at = models.DateTimeField(null=True, blank=True)

    class Meta:
        default_permissions = ()
        constraints = [models.UniqueConstraint(fields=["event_id", "key"], name="tavori_pay_effect_once")]

    def __str__(self) -> str:
        return f"event {self.event_id}: {self.key} ({self.state})"
