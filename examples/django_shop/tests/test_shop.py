import datetime as dt
import json
import os
import re
import shutil
import subprocess
import sys
from decimal import Decimal
from pathlib import Path

import pytest
from django.utils import timezone
from tavori_pay_django.models import Payment

from shop.models import Order

pytestmark = pytest.mark.django_db(transaction=True)  # fulfilment runs when a payment's change commits


def checkout(client, product="poster") -> Order:
    response = client.post("/", {"product": product})
    assert response.status_code == 302
    order = Order.objects.get()
    assert response["Location"].endswith(f"/pay/{order.payment().order_id}")
    return order


def deliver(client, callback):
    path, body, signature = callback
    return client.post(path, body, content_type="application/json", HTTP_X_TAVORI_SIGNATURE=signature)


def payment_shown(client, order) -> str:
    """The payment's status on the order's done page."""
    page = client.get(f"/orders/{order.key}/done/").content.decode()
    return re.search(r'<b id="payment"><span [^>]*>(\w+)</span>', page).group(1)


def test_checkout_page_lists_the_products(client):
    page = client.get("/").content.decode()
    assert "Concert poster, 128.00 CNY" in page and 'id="checkout"' in page


def test_checkout_creates_a_split_payment_and_redirects_to_the_pay_page(client, sandbox, catcher):
    order = checkout(client)
    payment = order.payment()
    kept = sandbox.store.order(payment.order_id)
    assert (kept["amount"], kept["pay_mode"], kept["recipient_account"]) == ("128.00", "split", "artist@example.com")
    assert kept["notify_url"] == f"{catcher.url}/payments/notify/?payment={payment.token}"
    assert kept["return_url"] == f"{catcher.url}/orders/{order.key}/done/"
    assert (payment.reference, payment.amount) == (order.reference, order.amount)


def test_verified_callbacks_fulfil_the_order_once(client, sandbox, catcher):
    order = checkout(client)
    sandbox.pay(order.payment().order_id)
    sandbox.settle(order.payment().order_id)
    callbacks = [catcher.next(), catcher.next()]
    for callback in callbacks + callbacks[::-1]:  # every callback twice, the second time out of order
        response = deliver(client, callback)
        assert (response.status_code, response.content) == (200, b"success")
    order.refresh_from_db()
    assert (order.state, order.settled, order.refunded) == ("paid", True, False)
    assert [(e.previous, e.new) for e in order.events.order_by("pk")] == [("pending", "paid"), ("paid", "settled")]
    assert payment_shown(client, order) == "settled"
    details = client.get(f"/orders/{order.key}/").content.decode()
    assert "89.60" in details and order.payment().order_id in details


def test_forged_or_unsigned_callbacks_are_refused(client, sandbox, catcher):
    order = checkout(client)
    sandbox.pay(order.payment().order_id)
    path, body, signature = catcher.next()
    forged = json.dumps({**json.loads(body), "amount": "0.01"}).encode()
    for content, signature_header in [(forged, signature), (body, ""), (body, signature.upper())]:
        assert deliver(client, (path, content, signature_header)).status_code == 400
    order.refresh_from_db()
    assert order.state == "pending" and not order.events.exists()


def test_notify_takes_only_post(client):
    assert client.get("/payments/notify/").status_code == 405


def test_declined_payment(client, sandbox, catcher):
    order = checkout(client, "ticket")
    sandbox.decline(order.payment().order_id)
    deliver(client, catcher.next())
    order.refresh_from_db()
    assert order.state == "failed"
    assert payment_shown(client, order) == "failed"


def test_a_buyer_back_before_the_callback_sees_the_payment_taken(client, sandbox, catcher):
    order = checkout(client)
    sandbox.pay(order.payment().order_id)  # its callbacks reach the catcher, not the shop
    assert payment_shown(client, order) == "paid"
    order.refresh_from_db()
    assert order.state == "paid"


CHROMIUM, CHROMEDRIVER = shutil.which("chromium"), shutil.which("chromedriver")


@pytest.fixture
def browser():
    """Headless Chromium, driven by selenium."""
    if not (CHROMIUM and CHROMEDRIVER):
        if os.environ.get("CI"):
            pytest.fail("chromium and chromedriver are needed for the browser tests")
        pytest.skip("chromium and chromedriver are not installed")
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu"):
        options.add_argument(argument)
    # The browser runs without any sanitizer runtime the suite may be preloading.
    environment = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    driver = webdriver.Chrome(service=Service(executable_path=CHROMEDRIVER, env=environment), options=options)
    yield driver
    driver.quit()


def test_a_customer_pays_in_a_real_browser(live_server, sandbox, settings, browser):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support import expected_conditions
    from selenium.webdriver.support.wait import WebDriverWait

    settings.TAVORI_PAY = {**settings.TAVORI_PAY, "PUBLIC_URL": live_server.url}
    wait = WebDriverWait(browser, 20)
    browser.get(live_server.url + "/")
    browser.find_element(By.ID, "checkout").click()
    wait.until(expected_conditions.presence_of_element_located((By.ID, "pay")))
    assert "128.00 CNY" in browser.find_element(By.ID, "amount").text
    browser.find_element(By.ID, "pay").click()
    wait.until(expected_conditions.url_contains("/done/"))
    assert browser.find_element(By.ID, "payment").text == "paid"
    assert browser.current_url.startswith(f"{live_server.url}/orders/")
    sandbox.advance(60)  # the settlement delay, on the sandbox's clock
    # Its callback answered, and the shop's receivers, run after the answer, returned.
    sandbox.wait_for_deliveries(Order.objects.get().payment().order_id, count=2)
    order = Order.objects.get()
    assert (order.state, order.settled) == ("paid", True)


def test_the_page_the_buyer_waits_on_moves_on_when_the_payment_is_taken(live_server, sandbox, settings, browser):
    from selenium.common.exceptions import StaleElementReferenceException
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support import expected_conditions
    from selenium.webdriver.support.wait import WebDriverWait

    settings.TAVORI_PAY = {**settings.TAVORI_PAY, "PUBLIC_URL": live_server.url}
    browser.get(live_server.url + "/")
    browser.find_element(By.ID, "checkout").click()
    # On the pay page: the checkout, and its order, are done.
    WebDriverWait(browser, 20).until(expected_conditions.presence_of_element_located((By.ID, "pay")))
    order = Order.objects.get()
    browser.get(f"{live_server.url}/orders/{order.key}/done/")  # back before paying: the page waits
    assert browser.find_element(By.ID, "payment").text == "pending"
    sandbox.pay(order.payment().order_id)
    WebDriverWait(browser, 30, ignored_exceptions=[StaleElementReferenceException]).until(  # it reloads itself
        lambda driver: driver.find_element(By.ID, "payment").text == "paid")
    assert Order.objects.get().state == "paid"


def test_a_buyer_straight_back_from_the_pay_page_sees_the_order_paid_once_the_task_worker_fulfilled_it(
        live_server, sandbox, settings, browser):
    from django.db import connection
    from selenium.common.exceptions import StaleElementReferenceException
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support import expected_conditions
    from selenium.webdriver.support.wait import WebDriverWait

    settings.TAVORI_PAY = {**settings.TAVORI_PAY, "PUBLIC_URL": live_server.url, "TASK_BACKEND": "default"}
    # Fulfilling takes a moment: the done page comes before the order is paid.
    worker = subprocess.Popen([sys.executable, "manage.py", "db_worker", "--no-startup-delay", "--no-reload",
                               "--interval", "0.1"], cwd=Path(__file__).parents[1], stderr=subprocess.DEVNULL,
                              env={**os.environ, "SHOP_SQLITE": connection.settings_dict["NAME"],
                                   "SHOP_FULFILMENT_SECONDS": "3"})
    try:
        browser.get(live_server.url + "/")
        browser.find_element(By.ID, "checkout").click()
        WebDriverWait(browser, 20).until(expected_conditions.presence_of_element_located((By.ID, "pay")))
        browser.find_element(By.ID, "pay").click()
        WebDriverWait(browser, 20).until(expected_conditions.url_contains("/done/"))
        # The page reloads itself: an element read while it does is gone.
        WebDriverWait(browser, 60, ignored_exceptions=[StaleElementReferenceException]).until(
            lambda driver: driver.find_element(By.ID, "order-state").text == "paid")
    finally:
        worker.terminate()
        worker.wait(10)
    order = Order.objects.get()
    assert order.state == "paid" and [event.new for event in order.events.all()] == ["paid"]


def test_every_paid_order_is_fulfilled_and_confirmed_once_whatever_its_payment_goes_through(client, sandbox,
                                                                                           mailoutbox):
    from tavori_pay_django.testing import check_payment_flows

    def start() -> Payment:
        client.post("/", {"product": "poster"})
        return Order.objects.latest("pk").payment()

    def fulfilled_and_confirmed_once_if_paid(payment: Payment) -> None:
        order = payment.order
        confirmed = sum(message.subject == f"Order {order.pk} is paid" for message in mailoutbox)
        fulfilled = order.events.filter(new="paid").count()
        assert fulfilled <= 1 and confirmed <= 1, f"order {order.pk}: fulfilled {fulfilled}, confirmed {confirmed}"
        assert confirmed or not fulfilled, f"order {order.pk} fulfilled with no confirmation"
        assert (order.state == Order.PAID) == bool(fulfilled)

    check_payment_flows(sandbox, start=start, invariant=fulfilled_and_confirmed_once_if_paid)


def test_orders_are_reached_by_their_key_and_the_done_page_asks_the_service_once(client, sandbox, catcher,
                                                                                monkeypatch):
    order = checkout(client)
    for number in range(1, 4):  # numbers are guessable: they reach nothing
        assert client.get(f"/orders/{number}/done/").status_code == 404
        assert client.get(f"/orders/{number}/").status_code == 404
    asked = []
    answer = sandbox.order_status
    monkeypatch.setattr(sandbox, "order_status", lambda query: asked.append(query) or answer(query))
    for _ in range(20):
        assert payment_shown(client, order) == "pending"
    assert len(asked) == 1


def test_a_checkout_the_service_cannot_take_is_answered_with_a_clear_page(client, sandbox, catcher):
    sandbox.fail_next_answers(1, "503")
    answer = client.post("/", {"product": "poster"})
    assert answer.status_code == 503
    assert "The payment service cannot take the order just now" in answer.content.decode()


def test_the_payments_health_page_in_a_real_browser(live_server, browser, admin_user, client, tmp_path):
    """Looked at with no payments and with a few thousand over the week; the
    screenshots are kept in TAVORI_SCREENSHOTS when it names a folder."""
    from selenium.webdriver.common.by import By

    client.force_login(admin_user)
    browser.get(f"{live_server.url}/admin/login/")
    browser.add_cookie({"name": "sessionid", "value": client.cookies["sessionid"].value})
    shots = Path(os.environ.get("TAVORI_SCREENSHOTS") or tmp_path)
    statuses = ["paid", "settled", "pending", "failed", "expired", "refunded"]
    for name, count in (("empty", 0), ("week", 3000)):
        made = Payment.objects.bulk_create(
            Payment(reference=f"{name}-{n}", amount=Decimal("128.00"), currency="CNY",
                    status=statuses[n % 6 if n % 3 else 0]) for n in range(count))
        for n, payment in enumerate(made):
            payment.created_at = timezone.now() - dt.timedelta(days=n % 7, minutes=n % 50)
        Payment.objects.bulk_update(made, ["created_at"], batch_size=500)
        browser.set_window_size(1200, 1400)
        browser.get(f"{live_server.url}/admin/tavori_pay/paymentshealth/")
        chart = browser.find_element(By.CSS_SELECTOR, "svg[aria-label='payments per day by status']")
        assert chart.is_displayed() and chart.size["width"] > 300
        assert browser.find_element(By.ID, "reconciliation").is_displayed()
        browser.save_screenshot(str(shots / f"health-{name}.png"))
    bars = browser.find_elements(By.CSS_SELECTOR, "svg[aria-label='payments per day by status'] rect title")
    assert len(bars) >= 7
