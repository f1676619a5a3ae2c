"""Signals a shop's fulfilment hangs on. Each is sent for a PaymentEvent
after the move that wrote it committed, receiver by receiver, and again
until every receiver has returned for it: a receiver is called at least
once per event, and `event.id` lets it act once.

    payment_status_changed(sender=Payment, payment, previous, new, event)
        once for every stage a payment reaches; a move that skips stages
        (pending to settled) is sent as each stage it implies, in order
    payment_needs_review(sender=Payment, payment, reason, event)
        when what the service reports cannot be taken as it is

Connect receivers while Django loads its apps (in an AppConfig.ready()),
so that every process has them: see tavori_pay_django.delivery.receivers.
Imported as tavori_pay_django.signals.
"""

from .receivers import PaymentSignal

payment_status_changed = PaymentSignal()
payment_needs_review = PaymentSignal()

# The signal of each kind of PaymentEvent.
SIGNAL_OF = {"status": payment_status_changed, "review": payment_needs_review}
