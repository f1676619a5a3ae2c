from django.urls import include, path

import hand_view
import receivers
from tavori_pay_django.signals import payment_status_changed

payment_status_changed.connect(receivers.fulfil)

urlpatterns = [path("payments/", include("tavori_pay_django.urls")), path("hand/notify/", hand_view.notify)]
