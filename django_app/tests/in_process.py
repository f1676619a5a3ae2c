"""One call of the app in a process of its own, on the test session's
database, started with the others at one signal: a separate host taking a
callback or a checkout at the same moment as the rest.

    python in_process.py DATABASE PORT   (stdin: one JSON call, then "go")
    {"receive": [body, signature]} prints the answer's status
    {"start": reference} prints the payment's id
    {"command": [name, *arguments]} prints what the management command printed
"""

from __future__ import annotations

import json
import sys
from decimal import Decimal

import on_test_database

on_test_database.setup(sys.argv[1], sys.argv[2])

from django.core.management import call_command  # noqa: E402

from tavori_pay_django import callbacks, start_payment  # noqa: E402

call = json.loads(sys.stdin.readline())
print("ready", flush=True)
sys.stdin.readline()
if "receive" in call:
    body, signature = call["receive"]
    print(callbacks.receive(body.encode(), signature).status, flush=True)
elif "command" in call:
    call_command(*call["command"])
else:
    print(start_payment(Decimal("10.00"), "CNY", reference=call["start"], recipient_account="artist").pk, flush=True)
