import pytest

from tavori_pay import OrderStatus, PaymentResult


@pytest.fixture
def payment(client, service):
    def make(order_id: str, pay_url: str) -> PaymentResult:
        service.answer(200, {"data": {"order_id": order_id, "pay_url": pay_url}})
        return client.create_payment(1, "CNY", "a", "n")
    return make


@pytest.fixture
def order(client, service):
    def make(**data) -> OrderStatus:
        service.answer(200, {"data": data})
        return client.query_order("x")
    return make


@pytest.mark.parametrize("order_id, pay_url", [
    ("T-1", "https://pay/T-1"), ("it's", "q'uote"), ("", ""), ("\u00e9\u20ac", "\U0001f600\u0000"),
])
def test_payment_result_reads_back_and_prints_unescaped(payment, order_id, pay_url):
    result = payment(order_id, pay_url)
    assert (result.order_id, result.pay_url) == (order_id, pay_url)
    assert repr(result) == str(result) == f"PaymentResult(order_id='{order_id}', pay_url='{pay_url}')"


def test_order_status_repr_shows_the_id_and_the_three_codes(order):
    status = order(order_id="O'1", pay_status=-1, settle_status=2, refund_status=3,
                   pay_status_text="hidden", amount="10.00", fail_reason="nope")
    assert repr(status) == "OrderStatus(order_id='O'1', pay_status=-1, settle_status=2, refund_status=3)"
    assert str(status) == repr(status)


def test_order_status_property_types(order):
    status = order(pay_status=7)
    assert type(status.pay_status) is int and status.pay_status == 7
    assert type(status.fail_reason) is str and status.fail_reason == ""
    assert status.refund_status == 0 and status.settle_status_text == ""


@pytest.mark.parametrize("name", ["order_id", "pay_status", "amount", "fail_reason"])
def test_records_are_read_only(order, name):
    status = order()
    with pytest.raises(AttributeError):
        setattr(status, name, "x")
    with pytest.raises(AttributeError):
        status.extra = 1


def test_payment_result_is_read_only(payment):
    result = payment("A", "B")
    with pytest.raises(AttributeError):
        result.order_id = "C"
    assert result.order_id == "A"


def test_properties_refuse_other_objects(payment):
    with pytest.raises(TypeError):
        PaymentResult.order_id.__get__(object())
    with pytest.raises(TypeError):
        OrderStatus.pay_status.__get__(payment("A", "B"))


def test_records_compare_by_identity_and_are_not_sequences(payment):
    first, second = payment("A", "B"), payment("A", "B")
    assert first != second and first == first
    with pytest.raises(TypeError):
        iter(first)
    with pytest.raises(TypeError):
        first[0]
