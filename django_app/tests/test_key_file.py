"""auth_key.py is read by the module alone: the app's checks and its guard
against an empty sponsor key agree with the module on every text, odd line
breaks, byte order marks and blanks included."""

from __future__ import annotations

import pytest
from conftest import callback_fields, post_callback, signed
from hypothesis import HealthCheck, given
from hypothesis import settings as hypothesis_settings
from hypothesis import strategies as st
from test_notify import payment  # noqa: F401  (a fixture)

import tavori_pay
from tavori_pay_django import ConfigurationError, conf, key_file
from tavori_pay_django.checks import check_key_file
from tavori_pay_sandbox.rules import sign

# Characters Python's str.splitlines breaks lines at and the module does not,
# and blanks that trimming does or does not remove.
BREAKS = ["\n", "\r\n", "\r", "\f", "\v", "\x1c", "\x85", "\u2028", "\u2029"]
LINES = ['COMMUNITY_KEY = "c"', "SPONSOR_KEY = 'real'", 'SPONSOR_KEY = ""', "SPONSOR_KEY =", 'SPONSOR_KEY = " "',
         'SPONSOR_KEY_OLD = "old"', "\ufeffSPONSOR_KEY = 'bom'", "# SPONSOR_KEY = ''", "\u3000SPONSOR_KEY='x'\u3000",
         "SPONSOR_KEY: str = 'typed'", "x", "", "  \t"]
texts = st.lists(st.tuples(st.sampled_from(LINES) | st.text("SPONSOR_KEY= '\"\u2028\r\n", max_size=16),
                           st.sampled_from(BREAKS)), max_size=6).map(lambda parts: "".join(a + b for a, b in parts))


@pytest.fixture
def key_path(settings, tmp_path):
    settings.TAVORI_PAY = {"PUBLIC_URL": "https://shop.example"}
    settings.WORKING_SPACE = str(tmp_path)
    return tmp_path / "auth_key.py"


@hypothesis_settings(max_examples=300, suppress_health_check=[HealthCheck.function_scoped_fixture], deadline=None)
@given(text=texts, bom=st.booleans())
def test_the_app_reads_every_key_file_as_the_module_does(key_path, text, bom):
    key_path.write_bytes(("\ufeff" if bom else "").encode() + text.encode())
    ids = [message.id for message in check_key_file(key_path)]
    try:
        client = tavori_pay.Client()
    except RuntimeError:
        assert ids and set(ids) <= {"tavori_pay.E002", "tavori_pay.E003"}
        with pytest.raises(ConfigurationError):
            conf.clients()
        return
    assert "tavori_pay.E002" not in ids and "tavori_pay.E003" not in ids
    found = key_file.assignments(key_path)
    sponsor = found["SPONSOR_KEY"]
    assert sponsor is not None and found["COMMUNITY_KEY"] is not None  # the module found both too
    # The line the app names holds the very key the module verifies with.
    client.verify_callback(key_file.PROBE, sign(sponsor.key, key_file.PROBE))
    refused = not sponsor.key.strip()
    assert ("tavori_pay.E012" in ids) is (refused or not found["COMMUNITY_KEY"].key.strip())
    if refused:
        with pytest.raises(ConfigurationError, match="SPONSOR_KEY is empty"):
            conf.clients()
    else:
        assert conf.clients()


@pytest.mark.django_db(transaction=True)
@pytest.mark.parametrize("decoy", ["\f", "\u2028", "\r"])
def test_an_empty_key_behind_a_line_break_only_python_sees_never_verifies(client, payment, key_path, decoy):  # noqa: F811
    key_path.write_text(f'COMMUNITY_KEY = "c"\nx{decoy}SPONSOR_KEY = "real"\nSPONSOR_KEY = ""\n', newline="")
    assert [message.id for message in check_key_file(key_path)] == ["tavori_pay.E012"]
    assert post_callback(client, *signed(callback_fields(payment), key="")).status_code == 500
    payment.refresh_from_db()
    assert payment.status == "pending"
