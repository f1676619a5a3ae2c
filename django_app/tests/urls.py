from django.contrib import admin
from django.urls import include, path

from tavori_pay_django import metrics

urlpatterns = [path("admin/", admin.site.urls), path("payments/", include("tavori_pay_django.urls")),
               path("metrics/", metrics.view)]
