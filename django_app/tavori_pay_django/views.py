"""The notify view: the service's signed callbacks come in here."""

from __future__ import annotations

import logging

from django.conf import settings
from django.contrib.auth.decorators import login_not_required
from django.db import DatabaseError, transaction
from django.http import HttpRequest, HttpResponse
from django.views.decorators.csrf import csrf_exempt
from django.views.decorators.http import require_POST

from . import callbacks, conf
from .delivery import after_commit
from .errors import ConfigurationError

logger = logging.getLogger("tavori_pay_django")

SIGNATURE_HEADER = "X-Tavori-Signature"


# The service signs its callbacks and logs in nowhere: reachable with
# LoginRequiredMiddleware on, as with CSRF.
@login_not_required
@csrf_exempt
@require_POST
def notify(request: HttpRequest) -> HttpResponse:
    try:
        limit = conf.config().callback_max_bytes
        body = _body(request, limit)
        if body is None:
            logger.warning("callback refused: its body is over %d bytes", limit)
            return _answer(413, f"a callback body may hold at most {limit} bytes")
        with after_commit.answer_first() as delivered_after_answer:
            answer = callbacks.receive(body, request.headers.get(SIGNATURE_HEADER, ""), request.GET.get("payment"))
    except ConfigurationError as error:
        # Not the callback's fault: answered so that the service delivers it
        # again once the configuration is mended.
        logger.error("callback not processed: the payment keys are not usable: %s", error)
        return _answer(500, "payments are not configured")
    except DatabaseError as error:
        logger.error("callback not processed: database error: %s", error)
        return _answer(503, "database unavailable; deliver it again")
    if answer.status != 200:
        logger.warning("callback answered %d: %s", answer.status, answer.text)
    if delivered_after_answer:  # the move committed: its events go to the receivers once the service has heard
        return after_commit.DeliveringAfterAnswer(answer.text, status=answer.status,
                                                  content_type="text/plain; charset=utf-8",
                                                  payment_ids=delivered_after_answer)
    return _answer(answer.status, answer.text)


# Outside ATOMIC_REQUESTS' transaction on every database, whichever the
# payments are routed to: the move commits before its events are delivered.
for alias in settings.DATABASES:
    notify = transaction.non_atomic_requests(using=alias)(notify)


def _body(request: HttpRequest, limit: int) -> bytes | None:
    declared = request.headers.get("content-length") or "0"
    if declared.isascii() and declared.isdigit() and int(declared) > limit:
        return None
    body = request.read(limit + 1)
    return body if len(body) <= limit else None


def _answer(status: int, text: str) -> HttpResponse:
    return HttpResponse(text, status=status, content_type="text/plain; charset=utf-8")
