"""Prometheus metrics, recorded when prometheus_client is installed
(`pip install "tavori-pay[metrics]"`) and served by `view` at the URL the
project gives it. Without it every recorder here does nothing.

Under gunicorn with several workers, set PROMETHEUS_MULTIPROC_DIR to an
empty directory before the server starts: each worker then writes its
counts there and `view` adds up every worker's, whichever answers."""

from __future__ import annotations

import os
import time
from collections.abc import Callable, Iterator
from typing import Any

from django.contrib.auth.decorators import login_not_required
from django.db import router
from django.db.models import Count, Min
from django.http import HttpRequest, HttpResponse
from django.utils import timezone
from django.views.decorators.cache import never_cache
from django.views.decorators.http import require_GET

from .models import PaymentEvent

try:
    import prometheus_client
    from prometheus_client import multiprocess
    from prometheus_client.core import GaugeMetricFamily
except ImportError:  # the extra is not installed
    prometheus_client = None  # type: ignore[assignment]

if prometheus_client is not None:
    CALLBACKS = prometheus_client.Counter(
        "tavori_pay_callbacks", "Callbacks the notify view answered, by what each did.", ["outcome"])
    CALLBACK_DURATION = prometheus_client.Histogram(
        "tavori_pay_callback_duration_seconds", "Time from a callback's arrival to its answer.")
    SERVICE_REQUESTS = prometheus_client.Counter(
        "tavori_pay_service_requests", "Requests to the payment service, by operation and outcome (ok; refused: "
        "the service's refusal or an answer that could not be read; failed: the network).", ["operation", "outcome"])
    SERVICE_REQUEST_DURATION = prometheus_client.Histogram(
        "tavori_pay_service_request_duration_seconds", "Time of a request to the payment service.", ["operation"])
    EVENT_DELIVERIES = prometheus_client.Counter(
        "tavori_pay_event_deliveries", "Payment events handed to a receiver, by receiver and outcome (returned, "
        "raised, not_connected).", ["receiver", "outcome"])
    RECEIVER_DURATION = prometheus_client.Histogram(
        "tavori_pay_receiver_duration_seconds", "Time a receiver took with one payment event, by receiver: a slow "
        "one holds the worker that delivers (move delivery to the task backend).", ["receiver"],
        buckets=(0.01, 0.05, 0.1, 0.5, 1.0, 2.5, 5.0, 10.0, 30.0, float("inf")))
    ENQUEUE_FAILURES = prometheus_client.Counter(
        "tavori_pay_enqueue_failures", "Payments whose delivery task the task backend did not take, by backend and "
        "why (raised; timed_out: not taken in time after a callback's answer); tavori_pay_dispatch delivers them.",
        ["backend", "reason"])
    RECONCILE_MOVES = prometheus_client.Counter(
        "tavori_pay_reconcile_moves", "Payments reconciliation asked the service about, by what the answer did.",
        ["outcome"])


def callback_answered(outcome: str, seconds: float) -> None:
    if prometheus_client is not None:
        CALLBACKS.labels(outcome).inc()
        CALLBACK_DURATION.observe(seconds)


def service_request[**Arguments, Returned](operation: str, call: Callable[Arguments, Returned],
                                           *args: Arguments.args, **kwargs: Arguments.kwargs) -> Returned:
    """call(*args, **kwargs), a request to the service, counted and timed."""
    if prometheus_client is None:
        return call(*args, **kwargs)
    started, outcome = time.perf_counter(), "failed"
    try:
        result = call(*args, **kwargs)
        outcome = "ok"
        return result
    except RuntimeError:  # how the module reports the service's refusal
        outcome = "refused"
        raise
    finally:
        SERVICE_REQUESTS.labels(operation, outcome).inc()
        SERVICE_REQUEST_DURATION.labels(operation).observe(time.perf_counter() - started)


def event_handed(receiver: str, outcome: str) -> None:
    if prometheus_client is not None:
        EVENT_DELIVERIES.labels(receiver, outcome).inc()


def receiver_took(receiver: str, seconds: float) -> None:
    if prometheus_client is not None:
        RECEIVER_DURATION.labels(receiver).observe(seconds)


def enqueue_failed(backend: str, reason: str) -> None:
    if prometheus_client is not None:
        ENQUEUE_FAILURES.labels(backend, reason).inc()


def reconciled(outcome: str, count: int = 1) -> None:
    if prometheus_client is not None:
        RECONCILE_MOVES.labels(outcome).inc(count)


class _WaitingEvents:
    """The gauges read from the database when scraped, the same for every
    worker: events not yet taken by every receiver, and the oldest one's age."""

    def collect(self) -> Iterator[Any]:
        waiting = PaymentEvent.objects.using(router.db_for_read(PaymentEvent)).filter(
            delivered_at=None).aggregate(count=Count("id"), oldest=Min("created_at"))
        age = (timezone.now() - waiting["oldest"]).total_seconds() if waiting["oldest"] else 0.0
        yield GaugeMetricFamily("tavori_pay_events_pending", "Payment events not yet taken by every receiver.",
                                value=waiting["count"])
        yield GaugeMetricFamily("tavori_pay_events_oldest_pending_age_seconds",
                                "Age of the oldest payment event not yet taken by every receiver.", value=age)


# Scrapers log in nowhere: reachable with LoginRequiredMiddleware on. Give it
# a URL that only the scraper's network reaches.
@login_not_required
@never_cache
@require_GET
def view(request: HttpRequest) -> HttpResponse:
    """The metrics in Prometheus' text format: every worker's counts under
    gunicorn's multiprocess mode, this process's otherwise."""
    if prometheus_client is None:
        return HttpResponse('metrics need prometheus_client: pip install "tavori-pay[metrics]"', status=404,
                            content_type="text/plain; charset=utf-8")
    counted = prometheus_client.REGISTRY
    if "PROMETHEUS_MULTIPROC_DIR" in os.environ:
        counted = prometheus_client.CollectorRegistry()
        multiprocess.MultiProcessCollector(counted)  # type: ignore[no-untyped-call]  # untyped upstream
    gauges = prometheus_client.CollectorRegistry(auto_describe=False)
    gauges.register(_WaitingEvents())
    text = prometheus_client.generate_latest(counted) + prometheus_client.generate_latest(gauges)
    return HttpResponse(text, content_type=prometheus_client.CONTENT_TYPE_LATEST)
