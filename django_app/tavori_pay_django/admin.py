"""The admin: payments with their callbacks, read-only where money is."""

from __future__ import annotations

from django.contrib import admin, messages

from .models import Callback, Payment
from .reconcile import REFUSED, reconcile


class ShowsCallbackBody:
    @admin.display(description="body")
    def body_text(self, callback: Callback) -> str:
        return bytes(callback.body).decode("utf-8", "replace")


class CallbackInline(ShowsCallbackBody, admin.TabularInline):
    model = Callback
    extra = 0
    can_delete = False
    fields = readonly_fields = ("received_at", "status", "outcome", "signature_ok", "deliveries", "processed_at",
                                "body_text")

    def has_add_permission(self, request, obj=None) -> bool:
        return False

    def has_change_permission(self, request, obj=None) -> bool:
        return False


@admin.register(Payment)
class PaymentAdmin(admin.ModelAdmin):
    list_display = ("order_id", "reference", "amount", "currency", "status", "needs_review", "created_at")
    list_filter = ("status", "currency", "needs_review", "created_at")
    search_fields = ("order_id", "reference")
    date_hierarchy = "created_at"
    # What the service decided is never typed in: only the review flag is
    # a person's to clear.
    readonly_fields = ("order_id", "reference", "amount", "currency", "pay_mode", "recipient_account", "pay_url",
                       "status", "settled_amount", "failure_reason", "expires_at", "created_at", "updated_at")
    fields = readonly_fields[:8] + ("needs_review",) + readonly_fields[8:]
    inlines = [CallbackInline]
    actions = ["reconcile_selected"]

    def has_add_permission(self, request) -> bool:
        return False

    def has_delete_permission(self, request, obj=None) -> bool:
        return False

    @admin.action(description="Ask the service about the selected payments")
    def reconcile_selected(self, request, queryset) -> None:
        summary = reconcile(list(queryset.exclude(order_id=None).values_list("pk", flat=True)))
        level = messages.ERROR if summary.counts[REFUSED] else messages.SUCCESS
        self.message_user(request, summary.line(), level)
        for refusal in summary.refusals[:10]:
            self.message_user(request, f"refused: {refusal}", messages.ERROR)


@admin.register(Callback)
class CallbackAdmin(ShowsCallbackBody, admin.ModelAdmin):
    list_display = ("received_at", "order_id", "status", "outcome", "signature_ok", "deliveries")
    list_filter = ("outcome", "signature_ok", "received_at")
    search_fields = ("order_id",)
    readonly_fields = ("payment", "order_id", "status", "outcome", "signature_ok", "deliveries", "received_at",
                       "processed_at", "digest", "signature", "body_text")
    fields = readonly_fields

    def has_add_permission(self, request) -> bool:
        return False

    def has_change_permission(self, request, obj=None) -> bool:
        return False

    def has_delete_permission(self, request, obj=None) -> bool:
        return False
