from django.contrib import admin
from django.urls import include, path

from . import views

urlpatterns = [
    path("", views.checkout, name="checkout"),
    path("payments/", include("tavori_pay_django.urls")),
    path("orders/<uuid:key>/done/", views.done, name="done"),
    path("orders/<uuid:key>/", views.order, name="order"),
    path("admin/", admin.site.urls),
]
