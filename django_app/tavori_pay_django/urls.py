from django.urls import path

from . import views

app_name = "tavori_pay"
urlpatterns = [path("notify/", views.notify, name="notify"),
               path("status/<uuid:token>/", views.status, name="status")]
