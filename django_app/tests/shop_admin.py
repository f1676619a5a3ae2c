"""A shop's own admin: its orders (here auth's groups) with their payments."""

from django.contrib import admin
from django.contrib.auth.admin import GroupAdmin
from django.contrib.auth.models import Group
from django.urls import include, path

from tavori_pay_django.admin import PaymentAdmin, PaymentInline
from tavori_pay_django.models import Payment

site = admin.AdminSite(name="shop_admin")


class OrderAdmin(GroupAdmin):
    inlines = [PaymentInline]


site.register(Group, OrderAdmin)
site.register(Payment, PaymentAdmin)

urlpatterns = [path("shop-admin/", site.urls), path("payments/", include("tavori_pay_django.urls"))]
