"""When a move's events are delivered: never before the outermost
transaction that wrote them has committed, and then

- with TAVORI_PAY["TASK_BACKEND"] set, by the task
  `tavori_pay_django.tasks.deliver_payment_events`, enqueued at the commit,
  or in the notify view once the answer has been sent, waited for at most
  ENQUEUE_WAIT seconds: a queue that is down never delays the answer;
- else in the notify view, once the answer has been sent: the service hears
  that its callback was taken without waiting for any receiver;
- everywhere else (reconciliation, the admin, refresh_payment), right after
  that commit, in the same process.

What is not delivered then (the process died, a receiver raised) stays due
in the event rows, for `tavori_pay_dispatch`."""

from __future__ import annotations

import logging
import os
import queue
import threading
from collections.abc import Iterable, Iterator
from contextlib import contextmanager
from contextvars import ContextVar
from functools import partial

from django.db import close_old_connections, transaction
from django.http import HttpResponse

from .. import conf, metrics
from ..errors import ConfigurationError
from . import dispatcher

logger = logging.getLogger("tavori_pay_django")

# The payments whose events wait for the answer being made, while one is.
_answering: ContextVar[list[int] | None] = ContextVar("tavori_pay_answering", default=None)
# Answers of this process whose deliveries have not returned yet.
_answers_delivering = 0
_answers_delivered = threading.Condition()
# Seconds an answered callback's worker waits for the task backend to take
# its payments' tasks: a queue that is down (a Redis outage) holds a worker
# that long at most, and what it never takes waits for tavori_pay_dispatch.
ENQUEUE_WAIT = 5.0
# Payments an answer hands to its process's enqueuing thread, and the event
# the thread sets once it has enqueued them.
Handoffs = queue.SimpleQueue[tuple[list[int], str, threading.Event]]
# The queue of this process's enqueuing thread, and the process it runs in
# (a forked worker starts its own).
_handoffs: Handoffs | None = None
_enqueuer_pid: int | None = None
_enqueuer_started = threading.Lock()


def schedule(payment_id: int, alias: str) -> None:
    """Has the payment's events delivered once the outermost transaction on
    `alias` commits (at once when none is open)."""
    transaction.on_commit(partial(_committed, payment_id), using=alias)


def _committed(payment_id: int) -> None:
    waiting = _answering.get()
    if waiting is not None:
        waiting.append(payment_id)
    else:
        hand_over([payment_id])


def hand_over(payment_ids: list[int], *, wait: float | None = None) -> None:
    """Has the committed moves' events delivered: by the task backend when
    one is set (its enqueueing waited for at most `wait` seconds), else here
    and now. Never raises: the moves are made, and what is not delivered
    waits for tavori_pay_dispatch."""
    try:
        backend = conf.config().task_backend
    except ConfigurationError:  # check reports it; the move is made, and delivered here meanwhile
        backend = None
    if backend is None:
        _deliver_now(payment_ids)
    elif wait is None:
        _enqueue(payment_ids, backend)
    else:
        taken = threading.Event()
        _enqueuer().put((payment_ids, backend, taken))
        if not taken.wait(wait):
            logger.error("events of payment %s not handed to the task backend %r within %g s; it may still take "
                         "them, else tavori_pay_dispatch delivers them", ", ".join(map(str, payment_ids)), backend,
                         wait)
            metrics.enqueue_failed(backend, "timed_out")


def _deliver_now(payment_ids: list[int]) -> None:
    """Never raises: the moves are done; what it could not deliver waits for
    the next run."""
    try:
        dispatcher.deliver_payments(payment_ids)
    except Exception:
        logger.exception("events of payment %s not delivered now; tavori_pay_dispatch delivers them",
                         ", ".join(map(str, payment_ids)))


def _enqueue(payment_ids: list[int], backend: str) -> None:
    from .tasks import deliver_payment_events

    for payment_id in payment_ids:
        try:
            deliver_payment_events.using(backend=backend).enqueue(payment_id)
        except Exception:
            logger.exception("events of payment %s not handed to the task backend %r; tavori_pay_dispatch "
                             "delivers them", payment_id, backend)
            metrics.enqueue_failed(backend, "raised")


def _enqueuer() -> Handoffs:
    """The queue of this process's one enqueuing thread, started on first
    use: a thread per answer opened a database connection per answer for a
    backend that stores its tasks there, which cost more than the enqueue."""
    global _enqueuer_pid, _handoffs
    with _enqueuer_started:
        if _handoffs is None or _enqueuer_pid != os.getpid():
            _handoffs, _enqueuer_pid = queue.SimpleQueue(), os.getpid()
            threading.Thread(target=_enqueue_in_turn, args=(_handoffs,), daemon=True,
                             name="tavori_pay enqueue").start()
        return _handoffs


def _enqueue_in_turn(handoffs: Handoffs) -> None:
    while True:
        payment_ids, backend, taken = handoffs.get()
        try:
            # Its database connections kept or closed as a request's are
            # (CONN_MAX_AGE, a connection found broken).
            close_old_connections()
            _enqueue(payment_ids, backend)
            close_old_connections()
        except Exception:  # the thread serves every later answer
            logger.exception("handing payments %s to the task backend %r failed; tavori_pay_dispatch delivers "
                             "their events", ", ".join(map(str, payment_ids)), backend)
        finally:
            taken.set()


@contextmanager
def kept() -> Iterator[list[int]]:
    """Within it, events committed are kept, not delivered: the payments
    whose events wait, for the caller to deliver (`DeliveringAfterAnswer`,
    `delivered_together`)."""
    waiting: list[int] = []
    token = _answering.set(waiting)
    try:
        yield waiting
    finally:
        _answering.reset(token)


@contextmanager
def delivered_together() -> Iterator[None]:
    """Within it, the events of moves that commit are delivered when it
    ends, many payments in one transaction: a batch of reconciliation's
    moves. Moves that commit later, with a caller's outer transaction, are
    delivered then, each on its own."""
    committed: list[int] = []
    try:
        with kept() as committed:
            yield
    finally:
        if committed:
            hand_over(committed)


def wait_until_answers_delivered(timeout: float) -> bool:
    """Waits until every answer this process made has had its events
    delivered: what a test with the server in its own process (a live
    server thread) waits for before it looks at what receivers did, since
    the service has its answer before they run. False after `timeout`."""
    with _answers_delivered:
        return _answers_delivered.wait_for(lambda: _answers_delivering == 0, timeout)


def _count_answer(change: int) -> None:
    global _answers_delivering
    with _answers_delivered:
        _answers_delivering += change
        _answers_delivered.notify_all()


class DeliveringAfterAnswer(HttpResponse):
    """A response that delivers its payments' events when the server closes
    it, which WSGI and ASGI servers alike do once it has been sent."""

    def __init__(self, *args: object, payment_ids: Iterable[int], **kwargs: object):
        super().__init__(*args, **kwargs)
        self.payment_ids = list(dict.fromkeys(payment_ids))
        if self.payment_ids:
            _count_answer(+1)

    def close(self) -> None:
        payment_ids, self.payment_ids = self.payment_ids, []  # a server may close a response twice
        try:
            if payment_ids:
                hand_over(payment_ids, wait=ENQUEUE_WAIT)
        finally:
            super().close()
            if payment_ids:
                _count_answer(-1)
