"""Reconciliation: asks the service about payments whose callbacks may have
been lost and applies each answer as a callback would be applied; safe to
run from several hosts at once. Open payments (pending, paid) are asked
about on every run once they are RECONCILE_AFTER old; ended ones (failed,
expired, settled), which a late payment or a refund can still change, once
every RECONCILE_ENDED_EVERY while they are younger than RECONCILE_WINDOW.
A refund is final."""

from __future__ import annotations

import datetime as dt
import multiprocessing
import queue
import threading
from collections import Counter
from collections.abc import Callable, Iterable
from concurrent.futures import ProcessPoolExecutor, as_completed
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass, field
from functools import partial

from asgiref.sync import sync_to_async
from django.db import DatabaseError, OperationalError, connections, router, transaction
from django.db.models import Q
from django.utils import timezone

from tavori_pay import Client

from . import conf, metrics
from .delivery import after_commit, dispatcher, events
from .errors import ConfigurationError, PaymentBusy
from .locks import lock_not_available, lock_waits_at_most
from .models import Payment
from .moves import HeldReferences, apply
from .reports import Report, from_order_status
from .transitions import ENDED, OPEN, PAID_STAGES, Outcome, Status, decide
from .wording import counted

SKIPPED = "skipped"  # taken by another run at the same moment, or refunded meanwhile
REFUSED = "refused"  # the service refused the query, or could not be reached
CUT_OFF = "cut_off"  # in the share of a process that died (killed, out of memory) before it said what it did
# What each outcome is called in the summary, in its order there.
WORDS = {Outcome.APPLIED: "moved", Outcome.DUPLICATE: "unchanged", Outcome.STALE: "unchanged",
         Outcome.AMOUNT_MISMATCH: "flagged for review", SKIPPED: "taken by another run", REFUSED: "not answered",
         CUT_OFF: "left by a process that died"}
# Payments taken in one transaction: fewer round trips to the database, and
# locks held no longer than a few dozen queries take.
BATCH = 25
# Payments handed to a process at a time, and delivered again at the end
# of a run at a time.
SHARE = 500
# Seconds refresh_payment waits for a payment's lock: a callback holds it for
# a few milliseconds; longer means a transaction is stuck.
REFRESH_LOCK_WAIT = 5.0


@dataclass
class Summary:
    counts: Counter[str] = field(default_factory=Counter)
    refusals: list[str] = field(default_factory=list)
    # Events of the reconciled payments that some receiver has not taken yet.
    undelivered: int = 0

    @property
    def total(self) -> int:
        return sum(self.counts.values())

    def line(self, dry_run: bool = False) -> str:
        words: Counter[str] = Counter()
        for outcome, count in self.counts.items():
            words[WORDS.get(outcome, outcome)] += count
        moved = "would move" if dry_run else "moved"
        parts = ", ".join(f"{words[word]} {moved if word == 'moved' else word}"
                          for word in [*dict.fromkeys(WORDS.values()), *sorted(set(words) - set(WORDS.values()))]
                          if words[word]) or "nothing to do"
        line = f"{'Would reconcile' if dry_run else 'Reconciled'} {counted(self.total, 'payment')}: {parts}"
        if self.undelivered:
            line += f"; {counted(self.undelivered, 'event')} not yet taken by every receiver, delivered again later"
        return line


def stale_payments(older_than: float | None = None) -> list[int]:
    """The payments the service knows that are due to be asked about: open
    ones created longer ago than `older_than` seconds (the RECONCILE_AFTER
    setting by default), and ended ones within the window, not asked about
    lately."""
    settings, now = conf.config(), timezone.now()
    age = settings.reconcile_after if older_than is None else older_than

    def seconds_ago(seconds: float) -> dt.datetime:
        return now - dt.timedelta(seconds=seconds)

    due = Q(status__in=OPEN) | Q(
        Q(reconciled_at=None) | Q(reconciled_at__lte=seconds_ago(settings.reconcile_ended_every)),
        status__in=ENDED, created_at__gte=seconds_ago(settings.reconcile_window))
    return list(Payment.objects.filter(due, created_at__lte=seconds_ago(age), order_id__isnull=False)
                .order_by("created_at").values_list("pk", flat=True))



def reconcile(payment_ids: Iterable[int], *, workers: int = 1, processes: int = 1, dry_run: bool = False,
              progress: Callable[[int], None] | None = None) -> Summary:
    """Queries and applies each payment on `workers` threads in each of
    `processes` processes, a batch of payments to a transaction; then
    delivers their events that are due, and counts those still undelivered.
    More than one process forks this one (POSIX only): threads share one
    interpreter lock, and a large run needs more than one core."""
    ids = list(payment_ids)
    started_at = timezone.now()
    if processes > 1 and len(ids) > BATCH:
        summary = _in_processes(ids, processes, workers, dry_run, started_at, progress)
    else:
        summary = _in_threads(ids, workers, dry_run, started_at, progress)
    alias = router.db_for_write(Payment)
    if not dry_run and connections[alias].in_atomic_block:
        # A caller's transaction (ATOMIC_REQUESTS, the admin's) holds the moves: once it commits.
        transaction.on_commit(partial(_deliver_left, ids), using=alias)
    elif not dry_run:
        try:
            summary.undelivered = _deliver_left(ids)
        except DatabaseError as error:
            summary.refusals.append(f"events not delivered: database error: {error}")
    return summary


def _deliver_left(ids: list[int]) -> int:
    """Delivers the payments' events left due (a batch's delivery found them
    held, or its process died), a share at a time so that memory does not
    grow with the run; returns how many are still not taken."""
    undelivered = 0
    for start in range(0, len(ids), SHARE):
        share = ids[start:start + SHARE]
        dispatcher.deliver_due_events(payment_ids=share)
        undelivered += dispatcher.undelivered(share)
    return undelivered


def _in_processes(ids: list[int], processes: int, workers: int, dry_run: bool, started_at: dt.datetime,
                  progress: Callable[[int], None] | None) -> Summary:
    """The payments handed out a share at a time to forked processes. This
    process holds no database connection while they run: a forked process
    must not use its parent's. A process that dies (the OOM killer) ends
    the run: what it and the shares not yet taken had not done is counted
    as cut off, for the next run to take. (multiprocessing.Pool would
    replace the process and wait for its share for ever.)"""
    connections.close_all()
    summary = Summary()
    size = min(SHARE, max(BATCH, len(ids) // (processes * 4)))  # a small run still spread over every process
    run = partial(_share, workers=workers, dry_run=dry_run, started_at=started_at)
    with ProcessPoolExecutor(processes, mp_context=multiprocessing.get_context("fork")) as pool:
        shares = {pool.submit(run, share): len(share) for share in
                  (ids[start:start + size] for start in range(0, len(ids), size))}
        for done in as_completed(shares):
            try:
                part = done.result()
            except BrokenProcessPool:
                summary.counts[CUT_OFF] += shares[done]
                continue
            summary.counts.update(part.counts)
            summary.refusals.extend(part.refusals)
            if progress is not None:
                progress(summary.total)
    if summary.counts[CUT_OFF]:
        summary.refusals.insert(0, f"a process of the run died (killed, or out of memory) with "
                                   f"{counted(summary.counts[CUT_OFF], 'payment')} not reconciled; the next run "
                                   "takes them")
    return summary


def _share(ids: list[int], *, workers: int, dry_run: bool, started_at: dt.datetime) -> Summary:
    """A share, in a forked process, which closes its connections after it
    rather than leaving them to be cut when the pool ends."""
    try:
        return _in_threads(ids, workers, dry_run, started_at, None)
    finally:
        connections.close_all()


def _in_threads(ids: list[int], workers: int, dry_run: bool, started_at: dt.datetime,
                progress: Callable[[int], None] | None) -> Summary:
    batches: queue.SimpleQueue[list[int]] = queue.SimpleQueue()
    for start in range(0, len(ids), BATCH):
        batches.put(ids[start:start + BATCH])
    client, summary, lock = conf.client(), Summary(), threading.Lock()

    def count(outcomes: Counter[str]) -> None:
        with lock:
            summary.counts.update(outcomes)
            done = summary.total
        if progress is not None:
            progress(done)

    def work() -> None:
        while True:
            try:
                batch = batches.get_nowait()
            except queue.Empty:
                return
            count(_reconcile_batch(client, batch, dry_run, summary, lock, started_at))

    def work_on_own_connections() -> None:
        try:
            work()
        finally:
            connections.close_all()

    if workers <= 1:  # on the caller's thread and connection (a view, the admin)
        work()
    else:
        threads = [threading.Thread(target=work_on_own_connections) for _ in range(workers)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    return summary


def _reconcile_batch(client: Client, batch: list[int], dry_run: bool, summary: Summary, lock: threading.Lock,
                     started_at: dt.datetime) -> Counter[str]:
    """The batch's payments that no other run holds or took since this run
    began, taken in one short transaction; then each asked about with no
    lock held, so that a slow answer never holds up a callback; then the
    answers applied in one transaction, each payment locked and read again,
    and the moves' events delivered together once it has committed."""
    outcomes: Counter[str] = Counter()
    alias = router.db_for_write(Payment)
    try:
        with transaction.atomic(using=alias):
            taken = list(Payment.objects.using(alias).select_for_update(skip_locked=True)
                         .filter(Q(reconciled_at=None) | Q(reconciled_at__lt=started_at), pk__in=batch,
                                 status__in=OPEN + ENDED, order_id__isnull=False).values_list("pk", "order_id"))
            if not dry_run:
                Payment.objects.using(alias).filter(pk__in=[pk for pk, _ in taken]).update(
                    reconciled_at=timezone.now())
        outcomes[SKIPPED] = len(batch) - len(taken)
        reports = {}
        for pk, order_id in taken:
            assert order_id is not None  # the query takes only payments the service knows
            try:
                reports[pk] = from_order_status(metrics.service_request("query_order", client.query_order, order_id))
            except Exception as error:  # a refusal, the network, an answer cut off: the run goes on
                with lock:
                    summary.refusals.append(f"{order_id}: {error or type(error).__name__}")
                outcomes[REFUSED] += 1
        outcomes += _apply_reports(alias, reports, dry_run)
    except DatabaseError as error:
        with lock:
            summary.refusals.append(f"{len(batch)} payments: database error: {error}")
        return Counter({REFUSED: len(batch) - sum(outcomes.values())}) + outcomes
    return +outcomes


def _apply_reports(alias: str, reports: dict[int, Report], dry_run: bool) -> Counter[str]:
    """Each payment moved as its report says, all in one transaction, the
    payments locked in the order of their keys and then the references of
    those the service reports paid in the order of theirs, as every other
    batch takes them. Counted once committed."""
    outcomes: Counter[str] = Counter()
    if not reports:
        return outcomes
    with after_commit.delivered_together(), transaction.atomic(using=alias), events.written_together():
        payments = list(Payment.objects.using(alias).select_for_update().filter(pk__in=reports).order_by("pk"))
        if dry_run:
            return Counter(decide(Status(payment.status), reports[payment.pk].status,
                                  reports[payment.pk].amount_matches(payment)).outcome.value for payment in payments)
        held = HeldReferences(alias, [payment.reference for payment in payments if payment.status not in PAID_STAGES
                                      and reports[payment.pk].status in PAID_STAGES])
        for payment in payments:
            outcomes[apply(payment, reports[payment.pk], references=held).outcome.value] += 1
    for outcome, count in outcomes.items():
        metrics.reconciled(outcome, count)
    return outcomes


def refresh_payment(payment: Payment, *, at_most_every: float = 10.0) -> Payment:
    """Asks the service about one payment and applies its answer, for the
    page the buyer returns to before the callback has come; returns the
    payment as it now stands. However often the page is loaded, the service
    is asked about a payment at most once every `at_most_every` seconds. A
    refusal or a network failure leaves the payment as it was: the callback
    or reconciliation brings it on, as it does when another transaction
    holds the payment's row as this call begins (it is shown as stored, at
    once). The answer is applied under the payment's lock, waited for up to
    REFRESH_LOCK_WAIT seconds while a callback holds it; PaymentBusy, with
    the payment as stored, when that is not enough."""
    recently = timezone.now() - dt.timedelta(seconds=at_most_every)
    if not payment.order_id or payment.status not in OPEN + ENDED or (
            payment.reconciled_at is not None and payment.reconciled_at > recently) or not _claimed(payment, recently):
        payment.refresh_from_db()
        return payment
    try:
        report = from_order_status(metrics.service_request("query_order", conf.client().query_order,
                                                           payment.order_id))
    except ConfigurationError:
        raise
    except Exception:  # the service's refusal or the network: the callback or reconciliation brings it on
        payment.refresh_from_db()
        return payment
    alias = router.db_for_write(Payment)
    try:
        with transaction.atomic(using=alias), lock_waits_at_most(alias, REFRESH_LOCK_WAIT):
            locked = Payment.objects.using(alias).select_for_update().get(pk=payment.pk)
            apply(locked, report)
    except OperationalError as error:
        if not lock_not_available(error):
            raise
        payment.refresh_from_db()
        raise PaymentBusy(f"payment {payment.order_id} stayed locked for over {REFRESH_LOCK_WAIT:g} s; shown as "
                          "stored", payment) from None
    payment.refresh_from_db()
    return payment


def _claimed(payment: Payment, recently: dt.datetime) -> bool:
    """Whether this call may ask the service: the payment's stamp taken in
    one locked step, so that however many pages poll at once one of them
    asks. A row another transaction holds (a callback, a refresh) is not
    waited for: what is stored is shown, and the holder brings it on."""
    alias = router.db_for_write(Payment)
    with transaction.atomic(using=alias):
        # Two statements: MariaDB's UPDATE would wait for a row its subquery skips.
        free = list(Payment.objects.using(alias).select_for_update(skip_locked=True)
                    .filter(Q(reconciled_at=None) | Q(reconciled_at__lte=recently), pk=payment.pk)
                    .values_list("pk", flat=True))
        Payment.objects.using(alias).filter(pk__in=free).update(reconciled_at=timezone.now())
    return bool(free)


async def arefresh_payment(payment: Payment, *, at_most_every: float = 10.0) -> Payment:
    """refresh_payment for async views, run as astart_payment is: off the
    event loop."""
    return await sync_to_async(refresh_payment)(payment, at_most_every=at_most_every)
