from django.contrib import admin
from django.urls import include, path
from tavori_pay_django import metrics

from . import views

urlpatterns = [
    path("", views.checkout, name="checkout"),
    path("payments/", include("tavori_pay_django.urls")),
    # For the scraper only: keep it off the public network.
    path("metrics/", metrics.view),
    path("orders/<uuid:key>/done/", views.done, name="done"),
    path("orders/<uuid:key>/", views.order, name="order"),
    path("admin/", admin.site.urls),
]
