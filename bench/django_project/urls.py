from django.urls import include, path

import hand_view

urlpatterns = [path("payments/", include("tavori_pay_django.urls")), path("hand/notify/", hand_view.notify)]
