"""Signals a shop's fulfilment hangs on, each sent after the change committed.

    payment_status_changed(sender=Payment, payment, previous, new)
        once for every real move of a payment's status
    payment_needs_review(sender=Payment, payment, reason)
        when what the service reports cannot be taken as it is
"""

from django.dispatch import Signal

payment_status_changed = Signal()
payment_needs_review = Signal()
