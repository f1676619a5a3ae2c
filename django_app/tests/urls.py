from django.contrib import admin
from django.urls import include, path

urlpatterns = [path("admin/", admin.site.urls), path("payments/", include("tavori_pay_django.urls"))]
