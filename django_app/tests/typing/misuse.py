"""Calls that mypy must refuse, through the package's lazy exports; nox's
typing session expects one error per marked line and no other."""

from decimal import Decimal

from tavori_pay_django import client, refresh_payment, start_payment
from tavori_pay_django.models import Payment

start_payment("not a number", "CNY", reference="o-1", recipient_account="a")  # error: amount
start_payment(Decimal("1.00"), "CNY", referenc="typo", recipient_account="a")  # error: keyword
start_payment(Decimal("1.00"), "CNY", reference="o-1", recipient_account="a", pay_mode="splt")  # error: mode
refresh_payment("T-1")  # error: a Payment, not its order id
client().create_payment("10", "CNY", "a", "n")  # error: amount
amount: float = Payment().amount  # error: Decimal
