"""The notify view: every callback stored, verified, applied once under the
payment's lock, and answered so that the service retries only what was not
taken in."""

from __future__ import annotations

import io
import logging
import threading
import urllib.error
import urllib.request
from decimal import Decimal

import pytest
from conftest import ON_POSTGRES, SPONSOR, callback_fields, post_callback, signed
from django.core.management import call_command
from django.db import connections

from tavori_pay_django.delivery import after_commit
from tavori_pay_django.models import Callback, Payment
from tavori_pay_django.signals import payment_needs_review, payment_status_changed

pytestmark = pytest.mark.django_db(transaction=True)


@pytest.fixture
def payment():
    return Payment.objects.create(order_id="T20261208-0000000001", reference="order-1", amount=Decimal("128.00"),
                                  currency="CNY", recipient_account="artist", pay_url="http://x/pay")


@pytest.fixture
def signals():
    sent: list[tuple] = []

    def changed(sender, payment, previous, new, **kwargs):
        sent.append(("changed", payment.order_id, previous, new))

    def review(sender, payment, reason, **kwargs):
        sent.append(("review", payment.order_id, reason))

    payment_status_changed.connect(changed, dispatch_uid="test changed")
    payment_needs_review.connect(review, dispatch_uid="test review")
    yield sent
    payment_status_changed.disconnect(dispatch_uid="test changed")
    payment_needs_review.disconnect(dispatch_uid="test review")


def deliver(client, payment, status="paid", **changes):
    return post_callback(client, *signed(callback_fields(payment, status, **changes)))


def test_callbacks_in_any_order_and_repeated_move_the_payment_once_each(client, payment, signals):
    answers = [deliver(client, payment, status, settle_amount="89.60") for status in
               ("settled", "paid", "settled", "paid", "refunded", "paid")]
    assert [(answer.status_code, answer.content) for answer in answers] == [(200, b"success")] * 6
    payment.refresh_from_db()
    assert (payment.status, payment.settled_amount, payment.needs_review) == ("refunded", Decimal("89.60"), False)
    assert str(payment.expires_at) == "2026-12-08 12:00:00+00:00"
    # settled came first: the stage it implies is announced before it
    assert signals == [("changed", payment.order_id, "pending", "paid"),
                       ("changed", payment.order_id, "paid", "settled"),
                       ("changed", payment.order_id, "settled", "refunded")]
    stored = {(c.status, c.outcome, c.deliveries) for c in Callback.objects.all()}
    assert stored == {("settled", "applied", 2), ("paid", "stale", 3), ("refunded", "applied", 1)}
    assert all(c.payment_id == payment.pk and c.signature_ok for c in Callback.objects.all())


def test_paid_after_expired_wins_and_is_flagged(client, payment, signals):
    deliver(client, payment, "expired", reason="not paid before it expired")
    deliver(client, payment, "paid")
    payment.refresh_from_db()
    assert (payment.status, payment.needs_review, payment.failure_reason) == (
        "paid", True, "not paid before it expired")
    assert [signal[:4] for signal in signals] == [("changed", payment.order_id, "pending", "expired"),
                                                  ("changed", payment.order_id, "expired", "paid"),
                                                  ("review", payment.order_id,
                                                   "paid after expired: money was taken for an ended payment")]


def test_an_amount_mismatch_never_marks_paid_is_stored_and_asks_for_review(client, payment, signals):
    answer = deliver(client, payment, "paid", amount="1.28")
    assert answer.status_code == 200  # taken in: delivering it again would change nothing
    payment.refresh_from_db()
    assert (payment.status, payment.needs_review) == ("pending", True)
    assert Callback.objects.get().outcome == "amount_mismatch"
    assert signals == [("review", payment.order_id, "the service reports 1.28 CNY for a payment of 128.00")]


@pytest.mark.parametrize("case", ["forged body", "wrong key", "other account's order", "no signature",
                                  "upper-case signature", "not UTF-8"])
def test_a_bad_signature_is_refused_stored_and_its_body_not_believed(client, payment, signals, case):
    body, signature = signed(callback_fields(payment))
    body, signature = {
        "forged body": (body.replace(b"128.00", b"0.01"), signature),
        "wrong key": signed(callback_fields(payment), key="not-our-key"),
        "other account's order": signed(callback_fields(payment, order_id="T-theirs"), key="their-sponsor"),
        "no signature": (body, ""),
        "upper-case signature": (body, signature.upper()),
        "not UTF-8": (b"\xff" + body, signature),
    }[case]
    answer = post_callback(client, body, signature)
    assert (answer.status_code, answer.content) == (400, b"invalid callback signature")
    stored = Callback.objects.get()
    assert (bytes(stored.body), stored.signature_ok, stored.outcome, stored.order_id, stored.payment) == (
        body, False, "bad_signature", "", None)
    payment.refresh_from_db()
    assert payment.status == "pending" and signals == []


@pytest.mark.parametrize("fields", [{"status": "paid"}, {"status": "paid", "order_id": ""},
                                    {"status": "dispatched", "order_id": "T20261208-0000000001"}])
def test_a_signed_callback_without_order_id_or_known_status_is_refused(client, payment, fields):
    answer = post_callback(client, *signed(fields))
    assert answer.status_code == 400
    assert Callback.objects.get().outcome == "malformed"
    payment.refresh_from_db()
    assert payment.status == "pending"


def test_an_unknown_order_is_answered_for_redelivery_and_applied_when_it_comes_again(client, signals):
    early = Payment(order_id="T-early", reference="r", amount=Decimal("5.00"), currency="CNY")
    body, signature = signed(callback_fields(early))
    assert post_callback(client, body, signature).status_code == 404
    assert Callback.objects.get().outcome == "unknown_order"
    early.save()  # the checkout's transaction commits
    assert post_callback(client, body, signature).status_code == 200
    stored = Callback.objects.get()
    assert (stored.outcome, stored.deliveries, stored.payment_id) == ("applied", 2, early.pk)
    assert signals == [("changed", "T-early", "pending", "paid")]


def test_the_notify_url_names_a_payment_whose_order_id_was_never_saved(client):
    orphan = Payment.objects.create(reference="r", amount=Decimal("5.00"), currency="CNY")
    fields = callback_fields(Payment(order_id="T-created", amount=Decimal("5.00")))
    assert post_callback(client, *signed(fields), query=f"?payment={orphan.token}").status_code == 200
    orphan.refresh_from_db()
    assert (orphan.order_id, orphan.status) == ("T-created", "paid")
    for token in ("not-a-uuid", "00000000-0000-0000-0000-000000000000"):
        fields = callback_fields(Payment(order_id=f"T-{token}", amount=Decimal("5.00")))
        assert post_callback(client, *signed(fields), query=f"?payment={token}").status_code == 404


def test_old_sponsor_keys_still_verify_during_a_rotation(client, payment, settings):
    settings.TAVORI_PAY = {**settings.TAVORI_PAY, "SPONSOR_KEYS": ["the-new-key", SPONSOR]}
    assert deliver(client, payment).status_code == 200
    payment.refresh_from_db()
    assert payment.status == "paid"


def test_a_body_over_the_limit_is_refused_unread(client, payment, settings):
    settings.TAVORI_PAY = {**settings.TAVORI_PAY, "CALLBACK_MAX_BYTES": 1024}
    body, signature = signed(callback_fields(payment, reason="x" * 1100))
    assert post_callback(client, body, signature).status_code == 413
    refused = Callback.objects.get()  # counted for the health page, nothing of it kept or believed
    assert (refused.outcome, bytes(refused.body), refused.payment, refused.order_id) == ("too_large", b"", None, "")


def test_only_post_is_answered(client):
    assert client.get("/payments/notify/").status_code == 405


def test_a_project_that_requires_login_everywhere_still_takes_callbacks(client, payment, settings):
    settings.MIDDLEWARE = [*settings.MIDDLEWARE, "django.contrib.auth.middleware.LoginRequiredMiddleware"]
    assert deliver(client, payment).status_code == 200
    payment.refresh_from_db()
    assert payment.status == "paid"


@pytest.mark.parametrize("key_file, cause", [
    (None, "Cannot read auth_key.py"),
    ('COMMUNITY_KEY = "shop-community"\n', "SPONSOR_KEY not found in auth_key.py"),  # half written
])
def test_a_configuration_error_is_a_5xx_with_its_cause_logged_and_no_key(client, payment, settings, tmp_path,
                                                                         caplog, key_file, cause):
    settings.TAVORI_PAY = {"PUBLIC_URL": "https://shop.example"}
    settings.WORKING_SPACE = str(tmp_path)
    if key_file is not None:
        (tmp_path / "auth_key.py").write_text(key_file)
    body, signature = signed(callback_fields(payment))
    with caplog.at_level(logging.ERROR, logger="tavori_pay_django"):
        answer = post_callback(client, body, signature)
    assert answer.status_code == 500
    assert cause in caplog.text and SPONSOR not in caplog.text
    assert Callback.objects.get().outcome == "unprocessed"
    (tmp_path / "auth_key.py").write_text('COMMUNITY_KEY = "shop-community"\nSPONSOR_KEY = "shop-sponsor-secret"\n')
    assert post_callback(client, body, signature).status_code == 200
    payment.refresh_from_db()
    assert payment.status == "paid"


def test_twenty_concurrent_deliveries_all_succeed_and_apply_once(live_server, payment, signals, no_proxy):
    body, signature = signed(callback_fields(payment))
    answers: list[int] = []
    start = threading.Barrier(20)

    def post() -> None:
        request = urllib.request.Request(f"{live_server.url}/payments/notify/", body, method="POST", headers={
            "Content-Type": "application/json", "X-Tavori-Signature": signature})
        start.wait()
        try:
            answers.append(urllib.request.urlopen(request, timeout=30).status)
        except urllib.error.HTTPError as error:
            answers.append(error.code)

    threads = [threading.Thread(target=post) for _ in range(20)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert answers == [200] * 20
    assert after_commit.wait_until_answers_delivered(10)
    assert signals == [("changed", payment.order_id, "pending", "paid")]
    assert Callback.objects.get().deliveries == 20


@pytest.mark.skipif(not ON_POSTGRES, reason="stops the PostgreSQL server")
def test_the_database_down_is_a_5xx_so_the_service_retries(client, payment, request):
    cluster = request.getfixturevalue("postgres")
    body, signature = signed(callback_fields(payment))
    connections.close_all()
    cluster.stop()
    try:
        answer = post_callback(client, body, signature)
    finally:
        cluster.start()
        connections.close_all()
    assert answer.status_code == 503
    assert post_callback(client, body, signature).status_code == 200


@pytest.mark.parametrize("keys", [[SPONSOR, ""], [SPONSOR, None], [SPONSOR, "   "]])
def test_an_empty_sponsor_key_never_verifies_a_forged_callback(client, payment, settings, keys):
    settings.TAVORI_PAY = {**settings.TAVORI_PAY, "SPONSOR_KEYS": keys}
    forged = signed(callback_fields(payment), key="")
    assert post_callback(client, *forged).status_code == 400
    payment.refresh_from_db()
    assert payment.status == "pending"
    assert deliver(client, payment).status_code == 200  # the usable key still verifies


def test_an_empty_key_in_the_key_file_answers_500_and_verifies_nothing(client, payment, settings, tmp_path):
    settings.TAVORI_PAY = {"PUBLIC_URL": "https://shop.example"}
    settings.WORKING_SPACE = str(tmp_path)
    (tmp_path / "auth_key.py").write_text('COMMUNITY_KEY = "shop-community"\nSPONSOR_KEY = ""\n')
    assert post_callback(client, *signed(callback_fields(payment), key="")).status_code == 500
    payment.refresh_from_db()
    assert payment.status == "pending"


@pytest.mark.parametrize("settle_amount", ["-5.00", "99999.00", "1.005", "NaN", "abc", "1e30", "１２.００"])
def test_a_settled_amount_that_cannot_be_true_is_not_stored_and_asks_for_review(client, payment, signals,
                                                                                settle_amount):
    answer = deliver(client, payment, "settled", settle_amount=settle_amount)
    assert answer.status_code == 200  # taken in: delivering it again would change nothing
    payment.refresh_from_db()
    assert (payment.status, payment.settled_amount, payment.needs_review) == ("settled", None, True)
    assert signals[-1] == ("review", payment.order_id, f"the service reports a settled amount of "
                                                       f"{settle_amount!r} for a payment of 128.00 CNY; not stored")


def test_a_second_payment_paid_for_the_same_reference_is_flagged_paid_twice(client, payment, signals):
    again = Payment.objects.create(order_id="T20261208-0000000002", reference=payment.reference,
                                   amount=payment.amount, currency="CNY", pay_url="http://x/pay")
    deliver(client, payment, "paid")
    deliver(client, again, "settled", settle_amount="89.60")  # paid as well, seen through settled
    payment.refresh_from_db()
    again.refresh_from_db()
    assert (payment.needs_review, again.needs_review) == (False, True)
    assert signals[-1] == ("review", again.order_id, f"paid twice: {payment.order_id} for the same reference "
                                                     f"{payment.reference} was paid too")
    deliver(client, again, "refunded", settle_amount="89.60")  # a refund of it flags nothing more
    assert [signal[0] for signal in signals].count("review") == 1


def test_forged_callbacks_keep_only_their_first_bytes_and_are_pruned_when_old(client, payment):
    for number in range(20):
        assert post_callback(client, b'{"n": %d, "x": "%s"}' % (number, b"x" * 16_000), "forged").status_code == 400
    deliver(client, payment, "paid")
    assert Callback.objects.filter(outcome="bad_signature").count() == 20
    assert max(len(bytes(body)) for body in
               Callback.objects.filter(outcome="bad_signature").values_list("body", flat=True)) == 512
    out = io.StringIO()
    call_command("tavori_pay_prune", "--older-than", "0", stdout=out)
    assert out.getvalue().strip() == "Pruned 20 callbacks that moved nothing"
    assert list(Callback.objects.values_list("outcome", flat=True)) == ["applied"]
