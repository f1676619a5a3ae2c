"""The notify view, where the service's signed callbacks come in, and the
status view a buyer's page polls."""

from __future__ import annotations

import logging
import time
import uuid
from collections.abc import Callable

from django.conf import settings
from django.contrib.auth.decorators import login_not_required
from django.db import DatabaseError, router, transaction
from django.http import HttpRequest, HttpResponse, JsonResponse
from django.views.decorators.cache import never_cache
from django.views.decorators.csrf import csrf_exempt
from django.views.decorators.http import require_GET, require_POST

from . import callbacks, conf, metrics
from .delivery import after_commit
from .errors import ConfigurationError, PaymentBusy
from .models import Payment
from .reconcile import refresh_payment
from .transitions import Status

logger = logging.getLogger("tavori_pay_django")

SIGNATURE_HEADER = "X-Tavori-Signature"


# The service signs its callbacks and logs in nowhere: reachable with
# LoginRequiredMiddleware on, as with CSRF.
@login_not_required
@csrf_exempt
@require_POST
def notify(request: HttpRequest) -> HttpResponse:
    started = time.perf_counter()
    response, outcome = _notify(request)
    metrics.callback_answered(outcome, time.perf_counter() - started)
    return response


def _notify(request: HttpRequest) -> tuple[HttpResponse, str]:
    """The answer to a callback, and what it did."""
    try:
        limit = conf.config().callback_max_bytes
        body = _body(request, limit)
        if body is None:
            logger.warning("callback refused: its body is over %d bytes", limit)
            callbacks.refused_too_large(request.headers.get(SIGNATURE_HEADER, ""))
            return _answer(413, f"a callback body may hold at most {limit} bytes"), "too_large"
        with after_commit.kept() as delivered_after_answer:
            answer = callbacks.receive(body, request.headers.get(SIGNATURE_HEADER, ""), request.GET.get("payment"))
    except ConfigurationError as error:
        # Not the callback's fault: answered so that the service delivers it
        # again once the configuration is mended.
        logger.error("callback not processed: the payment keys are not usable: %s", error)
        return _answer(500, "payments are not configured"), "not_configured"
    except DatabaseError as error:
        logger.error("callback not processed: database error: %s", error)
        return _answer(503, "database unavailable; deliver it again"), "database_error"
    if answer.status != 200:
        logger.warning("callback answered %d: %s", answer.status, answer.text)
    if delivered_after_answer:  # the move committed: its events go to the receivers once the service has heard
        return after_commit.DeliveringAfterAnswer(answer.text, status=answer.status,
                                                  content_type="text/plain; charset=utf-8",
                                                  payment_ids=delivered_after_answer), answer.outcome
    return _answer(answer.status, answer.text), answer.outcome


# Refreshing at most this often, however many pages poll one payment.
STATUS_REFRESH_EVERY = 10.0


# Addressed by the payment's unguessable token, which the buyer's page was
# given: the buyer need not be logged in.
@login_not_required
@never_cache
@require_GET
def status(request: HttpRequest, token: uuid.UUID) -> HttpResponse:
    """The payment's state as JSON, for the page the buyer returns to: asks
    the service (at most every STATUS_REFRESH_EVERY seconds) while it is
    pending, so that the page moves on without waiting for the callback;
    `taken` says whether every receiver has taken every event of it, so
    that the page shows the shop's side once it has."""
    try:
        found = Payment.objects.using(router.db_for_read(Payment)).filter(token=token).first()
        if found is None:
            return JsonResponse({"error": "no such payment"}, status=404)
        payment = found
        if payment.status == Status.PENDING:
            payment = refresh_payment(payment, at_most_every=STATUS_REFRESH_EVERY)
    except PaymentBusy as busy:  # a callback is being applied: shown as stored
        payment = busy.payment
    except ConfigurationError as error:  # shown as stored; check names the setting
        logger.error("payment status not asked for: the payment keys are not usable: %s", error)
    except DatabaseError as error:
        return _status_unread(error)
    try:
        taken = payment.events_taken
    except DatabaseError as error:
        return _status_unread(error)
    return JsonResponse({"status": payment.status, "amount": str(payment.amount), "currency": payment.currency,
                         "taken": taken})


def _status_unread(error: DatabaseError) -> HttpResponse:
    logger.error("payment status not read: database error: %s", error)
    return JsonResponse({"error": "database unavailable; try again"}, status=503)


def _outside_request_transactions(view: Callable[..., HttpResponse]) -> Callable[..., HttpResponse]:
    """Outside ATOMIC_REQUESTS' transaction on every database, whichever the
    payments are routed to: what the view moves commits on its own, before
    its events are delivered."""
    for alias in settings.DATABASES:
        view = transaction.non_atomic_requests(using=alias)(view)
    return view


notify = _outside_request_transactions(notify)
status = _outside_request_transactions(status)


def _body(request: HttpRequest, limit: int) -> bytes | None:
    declared = request.headers.get("content-length") or "0"
    if declared.isascii() and declared.isdigit() and int(declared) > limit:
        return None
    body = request.read(limit + 1)
    return body if len(body) <= limit else None


def _answer(status: int, text: str) -> HttpResponse:
    return HttpResponse(text, status=status, content_type="text/plain; charset=utf-8")
