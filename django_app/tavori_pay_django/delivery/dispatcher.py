"""Delivers payment events to the receivers each is for, receiver by
receiver: after the commit that wrote them (`after_commit`), and again from
`tavori_pay_dispatch`, reconciliation and the admin until every receiver
has returned. A receiver this process does not have (see `receivers`)
keeps its events due: the error names it and says where to connect it.

An event's row is locked while its receivers run, so no receiver is called
twice at once for one event, and a receiver's own writes commit with the
record that it returned: a receiver that raises, or a process that dies,
leaves the event to be delivered again, to the receivers that had not yet
returned. A payment's events reach each receiver in order: one that has not
taken an event is not handed the payment's later ones."""

from __future__ import annotations

import datetime as dt
import logging
import time
import traceback
from collections import Counter, defaultdict
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field

from django.db import DatabaseError, OperationalError, router, transaction
from django.db.models import Min, Q
from django.utils import timezone

from .. import db, metrics
from ..locks import lock_not_available
from ..models import Payment, PaymentEvent
from ..wording import counted
from . import slow_receivers
from .receivers import CONNECT_HINT
from .signals import SIGNAL_OF

logger = logging.getLogger("tavori_pay_django")

# Seconds before an event a receiver did not take is due again: doubled
# with each attempt, up to an hour.
FIRST_RETRY, LAST_RETRY = 10, 3600
DELIVERED, UNDELIVERED, BUSY = "delivered", "not delivered", "busy"
# Seconds an event may wait for a receiver before tavori_pay_dispatch fails
# for it, between retry times too, and whether or not it was ever tried.
STUCK_AFTER = 3600
# Seconds after which an event no delivery has tried counts as undelivered:
# the delivery after its commit takes milliseconds, unless its process died.
UNTRIED_AFTER = 60
# Payments whose events are delivered in one transaction, by the sweep and
# reconciliation: fewer statements, and locks held no longer than their
# receivers take.
TOGETHER = 25
# What a delivery records of an event.
RECORDED = ["receivers", "delivered_to", "attempts", "last_attempt_at", "last_error", "next_attempt_at",
            "delivered_at"]


@dataclass
class Summary:
    counts: Counter[str] = field(default_factory=Counter)
    errors: list[str] = field(default_factory=list)
    # The receivers that have kept events waiting over STUCK_AFTER, with their counts.
    stuck: Counter[str] = field(default_factory=Counter)
    # The payments left to another run that held their events.
    busy: list[int] = field(default_factory=list)

    def add(self, other: Summary) -> None:
        self.counts.update(other.counts)
        self.errors.extend(other.errors)
        self.busy.extend(other.busy)

    @property
    def undelivered(self) -> int:
        return self.counts[UNDELIVERED]

    @property
    def ok(self) -> bool:
        """Whether every event handed over was taken, and none waits too long."""
        return not self.undelivered and not self.stuck

    def line(self) -> str:
        delivered, undelivered, busy = (self.counts[name] for name in (DELIVERED, UNDELIVERED, BUSY))
        text = f"Delivered {delivered} of {counted(delivered + undelivered, 'event')}"
        if undelivered:
            text += f"; {undelivered} not yet taken by every receiver, delivered again later"
        if busy:
            text += f"; {counted(busy, 'payment')} left to a run already delivering them"
        return text


def deliver_payments(payment_ids: Iterable[int]) -> Summary:
    """Delivers the payments' undelivered events, each payment's oldest
    first, and then any that another delivery left to this one while it held
    them; in one transaction while no other run holds any of them (a few
    statements for them all instead of a few each), else each payment on its
    own, those another run holds left to it. Raises only for the database."""
    ids, tried = list(dict.fromkeys(payment_ids)), set[int]()
    if len(ids) < 2:
        return _deliver_each(ids, tried)
    summary = _deliver_batch(ids, tried)
    if summary.counts[BUSY]:  # nothing was handed over: each on its own, those held left to their run
        return _deliver_each(ids, tried)
    summary.add(_deliver_each(_untried(ids, tried), tried))
    return summary


def _deliver_each(payment_ids: Iterable[int], tried: set[int]) -> Summary:
    summary = Summary()
    for payment_id in payment_ids:
        while True:
            batch = _deliver_batch([payment_id], tried)
            summary.add(batch)
            if not batch.counts or batch.counts[BUSY] or not _untried([payment_id], tried):
                break
    return summary


def deliver_due_events(*, older_than: float = 0, ignore_backoff: bool = False,
                       payment_ids: Iterable[int] | None = None,
                       progress: Callable[[int, int], None] | None = None) -> Summary:
    """What `tavori_pay_dispatch` does, for Celery beat or any scheduler:
    delivers every undelivered event that is due (created `older_than`
    seconds ago or longer and, unless `ignore_backoff`, past its retry
    time; of `payment_ids` only, when given) and returns the summary, with,
    for a run over every payment, the receivers that have kept events
    waiting over STUCK_AFTER. Safe on several hosts at once. It raises only
    for the database; a receiver's failure is in the summary (`ok`,
    `errors`, `line()`)."""
    now = timezone.now()
    due = PaymentEvent.objects.using(router.db_for_read(PaymentEvent)).filter(
        delivered_at=None, created_at__lte=now - dt.timedelta(seconds=older_than))
    if not ignore_backoff:
        due = due.filter(Q(next_attempt_at=None) | Q(next_attempt_at__lte=now))
    if payment_ids is not None:
        due = due.filter(payment_id__in=list(payment_ids))
    payments = list(due.values("payment_id").annotate(first=Min("id")).order_by("first")
                    .values_list("payment_id", flat=True))
    summary = Summary()
    for start in range(0, len(payments), TOGETHER):
        chunk = payments[start:start + TOGETHER]
        try:
            summary.add(deliver_payments(chunk))
        except Exception:  # the database: each payment on its own, so that one failing holds up no other
            for payment_id in chunk:
                try:
                    summary.add(deliver_payments([payment_id]))
                except Exception as error:  # counted, and the run goes on
                    summary.counts[UNDELIVERED] += 1
                    summary.errors.append(f"payment {payment_id}: {error}")
        if progress is not None:
            progress(start + len(chunk), len(payments))
    if summary.busy:
        # Two runs can each find a payment held by the other and both leave
        # it; once the other has moved on, this run tries them again.
        left, summary.busy, summary.counts[BUSY] = summary.busy, [], 0
        try:
            summary.add(deliver_payments(left))
        except Exception as error:  # the database: the next run delivers them
            summary.counts[UNDELIVERED] += 1
            summary.errors.append(f"payments {', '.join(map(str, left))}: {error}")
    if payment_ids is None:
        summary.stuck = stuck()
    return summary


def undelivered(payment_ids: Iterable[int]) -> int:
    """The payments' events that some receiver was handed and did not take,
    or that no delivery has tried for UNTRIED_AFTER seconds (the process
    delivering them died, or was timed out, after the answer). One tried by
    none more lately is not counted: a delivery under way elsewhere (the
    commit of another run's move) has it."""
    since = timezone.now() - dt.timedelta(seconds=UNTRIED_AFTER)
    return PaymentEvent.objects.using(router.db_for_read(PaymentEvent)).filter(
        Q(attempts__gt=0) | Q(created_at__lte=since), payment_id__in=list(payment_ids), delivered_at=None).count()


def stuck_events() -> Q:
    """The events some receiver has kept waiting longer than STUCK_AFTER,
    whether or not a delivery has tried them."""
    return Q(delivered_at=None, created_at__lte=timezone.now() - dt.timedelta(seconds=STUCK_AFTER))


def stuck() -> Counter[str]:
    """The receivers that have kept events waiting longer than STUCK_AFTER,
    each with the number of events."""
    receivers: Counter[str] = Counter()
    for event in PaymentEvent.objects.using(router.db_for_read(PaymentEvent)).filter(stuck_events()).only(
            "receivers", "delivered_to"):
        receivers.update(event.receivers_waiting() or ["(the receivers of the delivering process)"])
    return receivers


def _deliver_batch(payment_ids: list[int], tried: set[int]) -> Summary:
    """One transaction: the payments' undelivered events locked, all of them
    or none, so that no run hands a receiver an event while another run
    holds an earlier one; each not yet tried handed to the receivers that
    have not returned, and the record of what each took written with the
    receivers' own writes."""
    alias = router.db_for_write(PaymentEvent)
    summary, slow = Summary(), list[tuple[str, float]]()
    now = timezone.now()  # one time for the batch's attempts: their records differ in few ways
    try:
        with transaction.atomic(using=alias):
            connected = {kind: signal.receivers_for_payments(Payment).named for kind, signal in SIGNAL_OF.items()}
            handed = []
            waiting: dict[tuple[int, str], int] = {}  # (payment, receiver) -> the event it has not taken
            events = db.operations(alias).locked_events(payment_ids)
            # A transaction that calls one receiver once needs no savepoint
            # to undo that receiver's writes: should it raise, the whole
            # transaction is undone, and the attempt recorded in another.
            alone = _lone_receiver(events, connected, tried)
            guarded = alone is None
            for event in events:
                fresh = event.pk not in tried
                tried.add(event.pk)
                _deliver(event, connected[event.kind], waiting, alias, now if fresh else None, slow, guarded)
                if fresh:
                    handed.append(event)
                    summary.counts[DELIVERED if event.delivered else UNDELIVERED] += 1
                    if not event.delivered:
                        summary.errors.append(_error_line(event))
            try:
                _record(alias, handed)
            except DatabaseError as error:  # the receiver swallowed an error of its own statement
                if alone is None:
                    raise
                raise _Raised(events[0], alone, traceback.format_exc(), attempts=events[0].attempts - 1) from error
    except _Raised as raised:
        summary = _record_raised(alias, raised, now)
    except OperationalError as error:
        if not lock_not_available(error):
            raise
        summary = Summary(Counter({BUSY: len(payment_ids)}), busy=list(payment_ids))
    finally:
        if slow:
            slow_receivers.record(slow)
    return summary


class _Raised(Exception):
    """A receiver called without a savepoint raised: its transaction is undone."""

    def __init__(self, event: PaymentEvent, receiver: str, error: str, attempts: int):
        super().__init__(receiver)
        self.event, self.receiver, self.error = event, receiver, error
        self.attempts = attempts  # the event's, as the delivery found it


def _lone_receiver(events: list[PaymentEvent], connected: dict[str, dict[str, Callable[..., object]]],
                   tried: set[int]) -> str | None:
    """The one receiver the batch calls, once, if so: one event, new to this
    delivery, that one connected receiver has not taken."""
    if len(events) != 1 or events[0].pk in tried or events[0].receivers is None:
        return None
    names = events[0].receivers_waiting()
    return names[0] if len(names) == 1 and names[0] in connected[events[0].kind] else None


def _record_raised(alias: str, raised: _Raised, attempted_at: dt.datetime) -> Summary:
    """The attempt of a receiver that raised on its own, recorded once its
    transaction was undone, unless another run has handled the event since."""
    event, name = raised.event, raised.receiver
    logger.error("event %s (%s): receiver %s raised; it is delivered again later\n%s", event.pk, event, name,
                 raised.error)
    metrics.event_handed(name, "raised")
    try:
        with transaction.atomic(using=alias):
            for current in db.operations(alias).locked_events([event.payment_id]):
                if current.pk == event.pk and current.attempts == raised.attempts and \
                        name in current.receivers_waiting():
                    _attempted(current, attempted_at, [f"{name} raised:\n{raised.error}"])
                    _record(alias, [current])
                    event = current
    except OperationalError as error:  # another run holds it: what it does is the record
        if not lock_not_available(error):
            raise
    event.last_error = f"{name} raised:\n{raised.error}"
    return Summary(Counter({UNDELIVERED: 1}), [_error_line(event)])


def _error_line(event: PaymentEvent) -> str:
    return f"event {event.pk} ({event}): {event.last_error.strip().splitlines()[-1]}"


def _untried(payment_ids: list[int], tried: set[int]) -> list[int]:
    """Those of the payments with undelivered events this delivery has not
    tried: written meanwhile, their own delivery having found these held."""
    waiting = db.operations(router.db_for_write(PaymentEvent)).undelivered(payment_ids)
    return list(dict.fromkeys(payment_id for pk, payment_id in waiting if pk not in tried))


def _record(alias: str, events: list[PaymentEvent]) -> None:
    """The events' records written, an UPDATE for each set of values: a
    batch's attempts mostly share theirs."""
    operations, same = db.operations(alias), defaultdict[tuple[object, ...], list[int]](list)
    for event in events:
        same[tuple(getattr(event, name) for name in RECORDED)].append(event.pk)
    for values, pks in same.items():
        operations.update(PaymentEvent, pks, dict(zip(RECORDED, values, strict=True)))


def _deliver(event: PaymentEvent, connected: dict[str, Callable[..., object]], waiting: dict[tuple[int, str], int],
             alias: str, attempted_at: dt.datetime | None, slow: list[tuple[str, float]],
             guarded: bool = True) -> None:
    """Hands the event to each receiver that has not taken it, unless that
    receiver has not taken an earlier event of the payment; the record of
    the attempt, made at `attempted_at`, is left in `event` for the caller
    to write. None: the event was tried already, and is only looked at for
    the receivers that have not taken it. Not `guarded`: a receiver is
    called without a savepoint, and one that raises raises _Raised. A
    receiver slower than SLOW_AFTER is added to `slow` with its time."""
    call = attempted_at is not None
    signal = SIGNAL_OF[event.kind]
    arguments = ({"previous": event.previous, "new": event.stage} if event.kind == PaymentEvent.STATUS
                 else {"reason": event.reason})
    if event.receivers is None:  # written before events named their receivers: those of this process
        event.receivers = "\n".join(connected)
    errors, returned = [], event.receivers_returned()
    for name in event.receivers_waiting():
        key = (event.payment_id, name)
        if key in waiting or not call:
            waiting.setdefault(key, event.pk)
            errors.append(f"{name}: waits until it has taken event {waiting[key]}")
            continue
        receiver = connected.get(name)
        if receiver is None:
            metrics.event_handed(name, "not_connected")
            waiting[key] = event.pk
            errors.append(f"{name} is not connected in this process: {CONNECT_HINT}. If it was renamed or retired "
                          "on purpose, say so with manage.py tavori_pay_receivers --rename or --retire")
            continue
        started = time.perf_counter()
        try:
            if guarded:
                with transaction.atomic(using=alias):
                    receiver(signal=signal, sender=Payment, payment=event.payment, event=event, **arguments)
            else:
                receiver(signal=signal, sender=Payment, payment=event.payment, event=event, **arguments)
        except Exception as error:
            _took(name, time.perf_counter() - started, slow)
            if not guarded:
                raise _Raised(event, name, traceback.format_exc(), attempts=event.attempts) from error
            logger.exception("event %s (%s): receiver %s raised; it is delivered again later", event.pk, event,
                             name)
            waiting[key] = event.pk
            errors.append(f"{name} raised:\n{traceback.format_exc()}")
            metrics.event_handed(name, "raised")
        else:
            _took(name, time.perf_counter() - started, slow)
            metrics.event_handed(name, "returned")
            returned.append(name)
            event.delivered_to = "\n".join(returned)
    if attempted_at is not None:
        _attempted(event, attempted_at, errors)


def _took(receiver: str, seconds: float, slow: list[tuple[str, float]]) -> None:
    metrics.receiver_took(receiver, seconds)
    if seconds >= slow_receivers.SLOW_AFTER:
        slow.append((receiver, seconds))


def _attempted(event: PaymentEvent, attempted_at: dt.datetime, errors: list[str]) -> None:
    """The record of an attempt, left in `event`."""
    event.attempts += 1
    event.last_attempt_at = attempted_at
    if errors:  # the last error stays once the event is delivered: what went wrong remains visible
        event.last_error = "\n".join(errors)
        delay = min(FIRST_RETRY * 2 ** (event.attempts - 1), LAST_RETRY)
        event.next_attempt_at = attempted_at + dt.timedelta(seconds=delay)
    else:
        event.delivered_at = attempted_at
        event.next_attempt_at = None
