"""A short run of tavori_pay with nothing but the module: a Client built from
a key file in a temporary working space, and a callback that the demo signs
as the service would and then verifies."""

import hashlib
import hmac
import json
import os
import tempfile
from pathlib import Path

import tavori_pay


def main() -> None:
    print(f"tavori_pay {tavori_pay.__version__}")
    with tempfile.TemporaryDirectory() as space:
        Path(space, "auth_key.py").write_text(
            'COMMUNITY_KEY = "demo-community"\nSPONSOR_KEY = "demo-sponsor"\n'
        )
        previous = os.getcwd()
        os.chdir(space)  # without framework settings, the working space is the current directory
        try:
            client = tavori_pay.Client()
        finally:
            os.chdir(previous)
        print(f"client built from {space}/auth_key.py")

    body = json.dumps({
        "status": "paid", "order_id": "T-20261208-0001", "amount": "10.00",
        "settle_amount": "9.70", "reason": "", "expired": "2026-12-08 12:00:00",
    })
    signature = hmac.new(b"demo-sponsor", body.encode(), hashlib.sha256).hexdigest()
    print(f"callback body: {body}")
    print(f"signature:     {signature}")
    fields = client.verify_callback(body, signature)
    print(f"verified:      {fields}")

    try:
        client.verify_callback(body, signature.upper())
    except RuntimeError as error:
        print(f"tampered:      {error}")


if __name__ == "__main__":
    main()
