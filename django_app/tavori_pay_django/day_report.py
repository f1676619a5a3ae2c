"""A day's payments beside what the service says of each: the accounting
report of `manage.py tavori_pay_report`. It only reads: nothing is moved."""

from __future__ import annotations

import datetime as dt
from collections import Counter, defaultdict
from collections.abc import Callable, Iterator
from concurrent.futures import ThreadPoolExecutor
from dataclasses import asdict, dataclass, field
from decimal import Decimal

from django.conf import settings
from django.db import router
from django.utils import timezone

from tavori_pay import Client

from . import metrics
from .days import day_bounds
from .models import Payment
from .money import as_text, money, service_text
from .reports import Report, from_order_status
from .transitions import Status


@dataclass(frozen=True)
class Line:
    """One payment: money as text with two decimals, never a float."""
    order_id: str
    reference: str
    created_at: str
    amount: str
    currency: str
    status: str
    settled_amount: str
    service_status: str
    service_amount: str
    service_settled_amount: str
    difference: str


@dataclass(frozen=True)
class Total:
    status: str
    currency: str
    payments: int
    amount: str
    differing: int


@dataclass
class DayReport:
    day: dt.date
    lines: list[Line] = field(default_factory=list)

    @property
    def differing(self) -> int:
        return sum(1 for line in self.lines if line.difference)

    def totals(self) -> list[Total]:
        """By the shop's status and currency."""
        counts: Counter[tuple[str, str]] = Counter()
        amounts: defaultdict[tuple[str, str], Decimal] = defaultdict(Decimal)
        differing: Counter[tuple[str, str]] = Counter()
        for line in self.lines:
            key = (line.status, line.currency)
            counts[key] += 1
            amounts[key] += Decimal(line.amount)
            differing[key] += bool(line.difference)
        return [Total(status, currency, counts[status, currency], as_text(amounts[status, currency]),
                      differing[status, currency]) for status, currency in sorted(counts)]

    def as_dict(self) -> dict[str, object]:
        return {"date": self.day.isoformat(), "payments": [asdict(line) for line in self.lines],
                "totals": [asdict(total) for total in self.totals()], "differing": self.differing}


def report_day(client: Client, day: dt.date, *, workers: int = 1,
               progress: Callable[[int, int], None] | None = None) -> DayReport:
    """Every payment created on `day`, oldest first, each asked about with
    one signed query (`workers` at once, as reconciliation asks)."""
    start, end = day_bounds(day)
    payments = list(Payment.objects.using(router.db_for_read(Payment))
                    .filter(created_at__gte=start, created_at__lt=end).order_by("created_at", "pk"))
    report = DayReport(day)
    with ThreadPoolExecutor(max_workers=max(1, workers)) as pool:
        for done, line in enumerate(pool.map(lambda payment: _line(client, payment), payments), 1):
            report.lines.append(line)
            if progress is not None:
                progress(done, len(payments))
    return report


def _line(client: Client, payment: Payment) -> Line:
    answer: Report | None = None
    refusal = ""
    if payment.order_id:
        try:
            answer = from_order_status(metrics.service_request("query_order", client.query_order,
                                                               payment.order_id))
        except Exception as error:  # a refusal or the network: reported as a difference
            refusal = f"the service could not answer: {' '.join(str(error).split()) or type(error).__name__}"
    return Line(
        order_id=payment.order_id or "", reference=payment.reference,
        created_at=timezone.localtime(payment.created_at).isoformat() if settings.USE_TZ
        else payment.created_at.isoformat(),
        amount=as_text(payment.amount), currency=payment.currency, status=payment.status,
        settled_amount=as_text(payment.settled_amount), service_status=answer.status.value if answer else "",
        service_amount=service_text(answer.amount) if answer else "",
        service_settled_amount=service_text(answer.settle_amount) if answer else "",
        difference=refusal or "; ".join(_differences(payment, answer)))


def _differences(payment: Payment, answer: Report | None) -> Iterator[str]:
    if answer is None:
        if payment.status != Status.FAILED:  # a checkout that failed never had an order
            yield "no order at the service"
        return
    if answer.status != payment.status:
        yield f"status: {payment.status} here, {answer.status.value} at the service"
    if money(answer.amount) != payment.amount:
        yield f"amount: {as_text(payment.amount)} here, {service_text(answer.amount) or 'none'} at the service"
    if answer.status == Status.SETTLED and payment.status == Status.SETTLED and \
            money(answer.settle_amount) != payment.settled_amount:
        yield (f"settled amount: {as_text(payment.settled_amount) or 'none'} here, "
               f"{service_text(answer.settle_amount) or 'none'} at the service")
