import sys
import weakref

import pytest
from conftest import run_python

import tavori_pay
from tavori_pay import Client, OrderStatus, PaymentResult


def test_module_attributes_in_registration_order():
    assert tavori_pay.__version__ == "0.1.0"
    assert tavori_pay.__all__ == ["Client", "PaymentResult", "OrderStatus", "__version__"]
    assert tavori_pay.__doc__ == ""


@pytest.mark.parametrize("cls", [Client, PaymentResult, OrderStatus])
def test_classes_are_named_as_builtins(cls):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__


@pytest.mark.parametrize("cls", [Client, PaymentResult, OrderStatus])
def test_classes_cannot_be_subclassed(cls):
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})


@pytest.mark.parametrize("cls", [PaymentResult, OrderStatus])
@pytest.mark.parametrize("args, kwargs", [((), {}), (("x",), {}), ((), {"order_id": "x"})])
def test_records_have_no_constructor(cls, args, kwargs):
    with pytest.raises(TypeError, match=f"^No constructor defined for {cls.__name__}$"):
        cls(*args, **kwargs)


def test_docstrings_and_text_signatures():
    assert Client.__text_signature__ == "(community_key=None, sponsor_key=None)"
    assert Client.__doc__ == ""
    assert PaymentResult.__doc__ == "Payment result returned by create_payment."
    assert OrderStatus.__doc__ == "Order status returned by query_order."
    assert PaymentResult.__text_signature__ is None
    assert Client.query_order.__text_signature__ == "($self, order_id)"
    assert Client.query_order.__doc__ == "Query order status."
    assert Client.verify_callback.__text_signature__ == "($self, body, signature)"
    assert Client.verify_callback.__doc__ == "Verify a callback from Tavori."
    assert Client.create_payment.__text_signature__ == (
        '($self, amount, currency, recipient_account, notify_url, pay_mode="split", return_url=None)'
    )
    assert Client.create_payment.__doc__ == "\n".join([
        "Create a payment order.",
        "",
        "pay_mode:",
        '  - "split"  (default): royalty split, requires recipient_account and',
        "    the merchant's Alipay app must have the royalty-split API enabled.",
        '  - "direct": direct payment, funds go straight to the merchant account.',
        "    recipient_account is ignored, no royalty-split permission needed.",
    ])
    for name in ("order_id", "pay_status", "fail_reason"):
        assert getattr(OrderStatus, name).__doc__ == ""


def test_client_keys_are_hidden_and_instances_are_closed(client):
    for name in ("community_key", "sponsor_key"):
        with pytest.raises(AttributeError):
            getattr(client, name)
    with pytest.raises(AttributeError):
        client.anything = 1
    assert "builtins.Client object" in repr(client)
    assert "sponsor-key" not in repr(client)
    with pytest.raises(TypeError):
        weakref.ref(client)
    assert [name for name in dir(client) if not name.startswith("_")] == [
        "create_payment", "query_order", "verify_callback",
    ]


def test_methods_check_their_receiver():
    with pytest.raises(TypeError):
        Client.verify_callback(object(), "{}", "0" * 64)


def test_reimport_returns_the_same_module_and_classes():
    module = sys.modules.pop("tavori_pay")
    try:
        import tavori_pay as again
        assert again is module
        assert again.Client is Client
        assert again.__all__ == ["Client", "PaymentResult", "OrderStatus", "__version__"]
    finally:
        sys.modules["tavori_pay"] = module


SUBINTERPRETER_IMPORT = """
import sys
try:
    import tavori_pay
except ImportError as error:
    sys.stdout.write("refused: " + str(error))
else:
    sys.stdout.write("imported")
"""


def test_import_in_a_second_interpreter_is_refused():
    result = run_python(f"""
        import tavori_pay
        try:
            import _testcapi
        except ImportError:
            print("skip: no _testcapi")
            raise SystemExit
        _testcapi.run_in_subinterp({SUBINTERPRETER_IMPORT!r})
    """)
    if result.stdout.startswith("skip"):
        pytest.skip(result.stdout)
    assert result.stdout.startswith("refused: "), result.stdout + result.stderr
    assert "sub-interpreters" in result.stdout
