from django.urls import path

from . import views

urlpatterns = [
    path("", views.checkout, name="checkout"),
    path("payments/notify/", views.notify, name="notify"),
    path("orders/<int:pk>/done/", views.done, name="done"),
    path("orders/<int:pk>/", views.order, name="order"),
]
