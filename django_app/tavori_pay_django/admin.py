"""The admin: payments with their callbacks, read-only where money is."""

from __future__ import annotations

import datetime as dt
from functools import partial
from typing import TYPE_CHECKING
from urllib.parse import urlencode

from django.contrib import admin, messages
from django.contrib.contenttypes.admin import GenericTabularInline
from django.core.exceptions import PermissionDenied
from django.db import connections, router, transaction
from django.db.models import Model, QuerySet
from django.http import HttpRequest, HttpResponse
from django.template.response import TemplateResponse
from django.urls import NoReverseMatch, reverse
from django.utils import timezone
from django.utils.html import format_html

from .days import day_bounds
from .delivery import dispatcher, slow_receivers
from .health import DAYS, REFUSALS, health
from .health_chart import per_day_chart
from .models import UNPLACED_MONEY, Callback, Payment, PaymentEvent, PaymentsHealth, ReconcileRun
from .reconcile import REFUSED, reconcile
from .wording import counted

if TYPE_CHECKING:  # generic to type checkers only: Django's admin classes take no parameters when run
    PaymentAdminBase = admin.ModelAdmin[Payment]
    PaymentsHealthAdminBase = admin.ModelAdmin[PaymentsHealth]
    ReconcileRunAdminBase = admin.ModelAdmin[ReconcileRun]
    PaymentEventAdminBase = admin.ModelAdmin[PaymentEvent]
    CallbackAdminBase = admin.ModelAdmin[Callback]
    CallbackInlineBase = admin.TabularInline[Callback, Payment]
    PaymentEventInlineBase = admin.TabularInline[PaymentEvent, Payment]
else:
    PaymentAdminBase = PaymentEventAdminBase = CallbackAdminBase = admin.ModelAdmin
    PaymentsHealthAdminBase = ReconcileRunAdminBase = admin.ModelAdmin
    CallbackInlineBase = PaymentEventInlineBase = admin.TabularInline


class ReadOnly:
    """An admin of records that only the app writes."""

    def has_add_permission(self, request: HttpRequest) -> bool:
        return False

    def has_change_permission(self, request: HttpRequest, obj: Model | None = None) -> bool:
        return False

    def has_delete_permission(self, request: HttpRequest, obj: Model | None = None) -> bool:
        return False


class ShownOnly:
    """An inline whose rows are shown, never added or changed: money and
    what the service said are not typed in."""

    extra = 0
    can_delete = False

    def has_add_permission(self, request: HttpRequest, obj: Model | None = None) -> bool:
        return False

    def has_change_permission(self, request: HttpRequest, obj: Model | None = None) -> bool:
        return False


class PaymentInline(ShownOnly, GenericTabularInline):
    """The payments of the shop's own order, on its order's admin page:

        class OrderAdmin(admin.ModelAdmin):
            inlines = [PaymentInline]

    for the payments started with `start_payment(..., order=order)`. They
    are shown, never changed here."""

    model = Payment
    ct_field, ct_fk_field = "order_type", "order_key"
    show_change_link = True
    fields = readonly_fields = ("order_id", "amount", "currency", "status", "settled_amount", "needs_review",
                                "created_at")


class ShowsCallbackBody:
    @admin.display(description="body")
    def body_text(self, callback: Callback) -> str:
        return bytes(callback.body).decode("utf-8", "replace")


class CallbackInline(ShownOnly, ShowsCallbackBody, CallbackInlineBase):
    model = Callback
    fields = readonly_fields = ("received_at", "status", "outcome", "signature_ok", "deliveries", "processed_at",
                                "body_text")


class PaymentEventInline(ShownOnly, PaymentEventInlineBase):
    model = PaymentEvent
    fields = readonly_fields = ("created_at", "kind", "previous", "stage", "reason", "delivered_at", "attempts",
                                "last_error")


@admin.register(Payment)
class PaymentAdmin(PaymentAdminBase):
    list_display = ("order_id", "reference", "amount", "currency", "status", "needs_review", "created_at")
    list_filter = ("status", "currency", "needs_review", "created_at")
    search_fields = ("order_id", "reference")
    date_hierarchy = "created_at"
    # What the service decided is never typed in: only the review flag is
    # a person's to clear.
    readonly_fields = ("order_id", "reference", "shop_order", "amount", "currency", "pay_mode", "recipient_account",
                       "pay_url", "status", "settled_amount", "failure_reason", "expires_at", "created_at",
                       "updated_at")
    fields = readonly_fields[:9] + ("needs_review",) + readonly_fields[9:]
    inlines = [PaymentEventInline, CallbackInline]
    actions = ["reconcile_selected"]

    def has_add_permission(self, request: HttpRequest) -> bool:
        return False

    def has_delete_permission(self, request: HttpRequest, obj: Model | None = None) -> bool:
        return False

    @admin.display(description="order")
    def shop_order(self, payment: Payment) -> str:
        """The shop's order the payment was started for, linked to its admin
        page when it has one; gone orders are named by type and key."""
        if payment.order_type is None:
            return "-"
        order = payment.order
        if order is None:
            return f"{payment.order_type.name} {payment.order_key} (deleted)"
        try:
            url = reverse(f"admin:{order._meta.app_label}_{order._meta.model_name}_change", args=[order.pk],
                          current_app=self.admin_site.name)
        except NoReverseMatch:
            return str(order)
        return format_html('<a href="{}">{}</a>', url, order)

    def save_model(self, request: HttpRequest, obj: Payment, form: object, change: bool) -> None:
        # One statement that writes the one field a person may change: the
        # form's copy of the rest was read without a lock, and a callback
        # may have moved the payment since.
        Payment.objects.filter(pk=obj.pk).update(needs_review=obj.needs_review, updated_at=timezone.now())

    @admin.action(description="Ask the service about the selected payments", permissions=["change"])
    def reconcile_selected(self, request: HttpRequest, queryset: QuerySet[Payment]) -> None:
        summary = reconcile(list(queryset.exclude(order_id=None).values_list("pk", flat=True)))
        level = messages.ERROR if summary.counts[REFUSED] or summary.undelivered else messages.SUCCESS
        self.message_user(request, summary.line(), level)
        for refusal in summary.refusals[:10]:
            self.message_user(request, f"refused: {refusal}", messages.ERROR)


class DeliveredFilter(admin.SimpleListFilter):
    title = "delivered"
    parameter_name = "delivered"

    def lookups(self, request: HttpRequest, model_admin: object) -> list[tuple[str, str]]:
        return [("yes", "Delivered"), ("no", "Not yet taken by every receiver"),
                ("stuck", "Waiting for over an hour")]

    def queryset(self, request: HttpRequest, queryset: QuerySet[PaymentEvent]) -> QuerySet[PaymentEvent]:
        if self.value() in ("yes", "no"):
            return queryset.filter(delivered_at__isnull=self.value() == "no")
        if self.value() == "stuck":  # what makes tavori_pay_dispatch fail
            return queryset.filter(dispatcher.stuck_events())
        return queryset


@admin.register(PaymentEvent)
class PaymentEventAdmin(PaymentEventAdminBase):
    list_display = ("created_at", "payment", "kind", "previous", "stage", "delivered_at", "attempts",
                    "error_line")
    list_filter = (DeliveredFilter, "kind", "stage", "created_at")
    search_fields = ("payment__order_id", "payment__reference")
    list_select_related = ("payment",)
    readonly_fields = ("payment", "kind", "previous", "stage", "reason", "created_at", "delivered_to", "attempts",
                       "last_attempt_at", "next_attempt_at", "delivered_at", "last_error")
    fields = readonly_fields
    actions = ["deliver_again"]

    @admin.display(description="last error")
    def error_line(self, event: PaymentEvent) -> str:
        lines = event.last_error.strip().splitlines()
        return lines[-1] if lines else ""

    @admin.action(description="Deliver again", permissions=["change"])
    def deliver_again(self, request: HttpRequest, queryset: QuerySet[PaymentEvent]) -> None:
        payment_ids = set(queryset.filter(delivered_at=None).values_list("payment_id", flat=True))
        alias = router.db_for_write(PaymentEvent)
        if connections[alias].in_atomic_block:  # ATOMIC_REQUESTS: receivers never run inside the request's transaction
            transaction.on_commit(partial(dispatcher.deliver_due_events, ignore_backoff=True, payment_ids=payment_ids),
                                  using=alias)
            self.message_user(request, f"{counted(len(payment_ids), 'payment')}: their events are delivered once "
                                       "this request has committed", messages.SUCCESS)
            return
        summary = dispatcher.deliver_due_events(ignore_backoff=True, payment_ids=payment_ids)
        self.message_user(request, summary.line(), messages.ERROR if summary.undelivered else messages.SUCCESS)
        for error in summary.errors[:10]:
            self.message_user(request, f"not delivered: {error}", messages.ERROR)

    def has_add_permission(self, request: HttpRequest) -> bool:
        return False

    def has_change_permission(self, request: HttpRequest, obj: Model | None = None) -> bool:
        # Nothing on the form is editable; the permission is what allows "Deliver again".
        return obj is None and super().has_change_permission(request, obj)

    def has_delete_permission(self, request: HttpRequest, obj: Model | None = None) -> bool:
        return False


class UnplacedMoneyFilter(admin.SimpleListFilter):
    title = "money"
    parameter_name = "money"

    def lookups(self, request: HttpRequest, model_admin: object) -> list[tuple[str, str]]:
        return [("unplaced", "Taken for an order the shop does not know")]

    def queryset(self, request: HttpRequest, queryset: QuerySet[Callback]) -> QuerySet[Callback]:
        return queryset.filter(UNPLACED_MONEY) if self.value() == "unplaced" else queryset


@admin.register(Callback)
class CallbackAdmin(ReadOnly, ShowsCallbackBody, CallbackAdminBase):
    list_display = ("received_at", "order_id", "status", "outcome", "signature_ok", "deliveries")
    list_filter = (UnplacedMoneyFilter, "outcome", "signature_ok", "received_at")

    def changelist_view(self, request: HttpRequest, extra_context: dict[str, object] | None = None) -> HttpResponse:
        unplaced = Callback.objects.filter(UNPLACED_MONEY).count()
        if unplaced:
            self.message_user(request, f"{counted(unplaced, 'signed callback')} reported money taken for an order "
                                       "the shop does not know: filter by money to place it", messages.WARNING)
        return super().changelist_view(request, extra_context)
    search_fields = ("order_id",)
    readonly_fields = ("payment", "order_id", "status", "outcome", "signature_ok", "deliveries", "received_at",
                       "processed_at", "digest", "signature", "body_text")
    fields = readonly_fields


@admin.register(ReconcileRun)
class ReconcileRunAdmin(ReadOnly, ReconcileRunAdminBase):
    list_display = ("started_at", "finished_at", "asked", "moved", "refused", "summary")
    date_hierarchy = "started_at"


@admin.register(PaymentsHealth)
class PaymentsHealthAdmin(ReadOnly, PaymentsHealthAdminBase):
    """The page that answers, at a glance: did every paid order get
    fulfilled, is anything stuck, are forged callbacks coming in, does the
    ledger match the service's? Each figure links to the list behind it."""

    def has_view_permission(self, request: HttpRequest, obj: Model | None = None) -> bool:
        return request.user.has_perm("tavori_pay.view_payment") or request.user.has_perm("tavori_pay.change_payment")

    def has_module_permission(self, request: HttpRequest) -> bool:
        return self.has_view_permission(request)

    def changelist_view(self, request: HttpRequest, extra_context: dict[str, object] | None = None) -> HttpResponse:
        if not self.has_view_permission(request):
            raise PermissionDenied
        figures = health()
        since = figures.week_start

        def url(model: str, **filters: object) -> str:
            base = reverse(f"admin:tavori_pay_{model}_changelist", current_app=self.admin_site.name)
            return f"{base}?{urlencode({name: str(value) for name, value in filters.items()})}" if filters else base

        def day_start(day: dt.date) -> str:
            return day_bounds(day)[0].isoformat()

        sums = [(row, url("payment", status__exact=row.status, currency__exact=row.currency,
                          created_at__gte=day_start(figures.today)),
                 url("payment", status__exact=row.status, currency__exact=row.currency,
                     created_at__gte=day_start(since))) for row in figures.sums]
        refused_since = (timezone.now() - dt.timedelta(hours=24)).isoformat()
        context = {
            **self.admin_site.each_context(request), "title": "Payments health", "opts": self.model._meta,
            "figures": figures, "days": DAYS, "sums": sums,
            "chart": per_day_chart(figures.per_day, lambda day, status: url(
                "payment", status__exact=status, created_at__gte=day_start(day),
                created_at__lt=day_bounds(day)[1].isoformat())),
            "review_url": url("payment", needs_review__exact=1),
            "slow_after": f"{slow_receivers.SLOW_AFTER:g}",
            "waiting_url": url("paymentevent", delivered="no"),
            "waiting_for": figures.waiting_for.most_common(),  # a Counter answers 0 to the template's lookup
            "oldest_waiting_age": timezone.now() - figures.oldest_waiting if figures.oldest_waiting else None,
            "refused": [(reason.replace("_", " "), figures.refused[reason],
                         url("callback", outcome__exact=reason, received_at__gte=refused_since))
                        for reason in REFUSALS],
            "runs_url": url("reconcilerun"),
            **(extra_context or {}),
        }
        return TemplateResponse(request, "admin/tavori_pay/health.html", context)
