"""The sponsor key never appears in what the module says: messages,
representations, standard error."""

import pytest
from conftest import sign, write_key_file

from tavori_pay import Client

SECRET = "SPONSOR-SECRET-7f3a"


def test_no_failure_message_or_representation_holds_the_sponsor_key(service, capfd):
    client = Client("community", SECRET)
    said = [repr(client), str(client)]

    def attempt(call):
        try:
            result = call()
        except Exception as error:
            said.append(f"{type(error).__name__}: {error!r} {error}")
        else:
            said.append(repr(result))

    attempt(lambda: client.verify_callback("{}", "0" * 64))
    attempt(lambda: client.verify_callback("{", sign(SECRET, "{")))
    attempt(lambda: client.verify_callback(1, "x"))
    for status, body in [(500, "oops"), (200, "{"), (200, '{"detail": "no"}'), (200, "[]"), (200, '{"data": {}}')]:
        service.answer(status, body)
        attempt(lambda: client.create_payment(1, "CNY", "a", "n"))
        attempt(lambda: client.query_order("x"))
    attempt(lambda: client.create_payment("1", "CNY", "a", "n"))
    attempt(lambda: client.query_order(order_id=None))
    captured = capfd.readouterr()
    said += [captured.out, captured.err]
    assert all(SECRET not in text for text in said)
    assert len(said) > 15


@pytest.mark.parametrize("text", [
    f"SPONSOR_KEY = '{SECRET}'\n",
    f"COMMUNITY_KEY = 'c'\nSPONSORKEY = '{SECRET}'\n",
])
def test_key_file_failures_do_not_quote_the_file(tmp_path, monkeypatch, text):
    monkeypatch.chdir(tmp_path)
    monkeypatch.delenv("IS_LAN", raising=False)
    write_key_file(tmp_path, text)
    with pytest.raises(RuntimeError) as raised:
        Client()
    assert SECRET not in str(raised.value)
