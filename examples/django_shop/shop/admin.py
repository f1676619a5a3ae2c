from django.contrib import admin
from tavori_pay_django.admin import PaymentInline

from .models import Order


@admin.register(Order)
class OrderAdmin(admin.ModelAdmin):
    list_display = ("pk", "product", "amount", "state", "created")
    inlines = [PaymentInline]
