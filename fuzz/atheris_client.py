"""atheris over the Python surface: verify_callback on arbitrary bodies and
signatures, and Client construction from arbitrary key-file text. Only the
documented exceptions may come out."""

import hashlib
import hmac
import os
import sys
import tempfile

import atheris

with atheris.instrument_imports():
    import tavori_pay

SPONSOR = "fuzz-sponsor"
CLIENT = tavori_pay.Client("fuzz-community", SPONSOR)
SPACE = tempfile.mkdtemp(prefix="tavori-fuzz-")
os.chdir(SPACE)


def one_input(data: bytes) -> None:
    provider = atheris.FuzzedDataProvider(data)
    choice = provider.ConsumeIntInRange(0, 2)
    text = provider.ConsumeUnicodeNoSurrogates(provider.remaining_bytes())
    if choice < 2:
        signature = hmac.new(SPONSOR.encode(), text.encode(), hashlib.sha256).hexdigest() if choice else text[:64]
        try:
            result = CLIENT.verify_callback(text, signature)
        except RuntimeError as error:
            message = str(error)
            assert message == "Invalid callback signature" or message.startswith("Invalid JSON body: "), message
        else:
            assert all(type(k) is str and type(v) is str for k, v in result.items())
        return
    with open(os.path.join(SPACE, "auth_key.py"), "w", encoding="utf-8") as key_file:
        key_file.write(text)
    try:
        tavori_pay.Client(None, None)
    except RuntimeError as error:
        assert str(error) in ("COMMUNITY_KEY not found in auth_key.py", "SPONSOR_KEY not found in auth_key.py"), error


if __name__ == "__main__":
    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()
