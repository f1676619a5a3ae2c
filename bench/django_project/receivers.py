"""The shop's receiver in the benchmark: it takes a payment's move and does
no work of its own, so that what is measured is the delivery."""

from django.apps import AppConfig

taken = 0


def fulfil(sender, payment, previous, new, **kwargs):
    global taken
    taken += 1


class ReceiversConfig(AppConfig):
    """Connects the receiver while Django loads, as every process must."""
    name = "receivers"

    def ready(self) -> None:
        from tavori_pay_django.signals import payment_status_changed

        payment_status_changed.connect(fulfil)
