import json
import os
import shutil
import time

import pytest

from shop.models import Order

pytestmark = pytest.mark.django_db


def checkout(client, product="poster") -> Order:
    response = client.post("/", {"product": product})
    assert response.status_code == 302
    order = Order.objects.get()
    assert response["Location"].endswith(f"/pay/{order.tavori_order_id}")
    return order


def test_checkout_page_lists_the_products(client):
    page = client.get("/").content.decode()
    assert "Concert poster, 128.00 CNY" in page and 'id="checkout"' in page


def test_checkout_creates_a_split_payment_and_redirects_to_the_pay_page(client, sandbox, catcher):
    order = checkout(client)
    kept = sandbox.store.order(order.tavori_order_id)
    assert (kept["amount"], kept["pay_mode"], kept["recipient_account"]) == ("128.00", "split", "artist@example.com")
    assert kept["notify_url"] == f"{catcher.url}/payments/notify/"
    assert kept["return_url"] == f"{catcher.url}/orders/{order.pk}/done/"


def test_verified_callbacks_move_the_order_once(client, sandbox, catcher):
    order = checkout(client)
    sandbox.pay(order.tavori_order_id)
    callbacks = [catcher.next(), catcher.next()]
    for path, body, signature in callbacks + callbacks:  # every callback delivered twice
        response = client.post(path, body, content_type="application/json", HTTP_X_TAVORI_SIGNATURE=signature)
        assert (response.status_code, response.content) == (200, b"success")
    order.refresh_from_db()
    assert (order.state, order.settled, order.refunded, order.callbacks) == ("paid", True, False, 4)
    page = client.get(f"/orders/{order.pk}/done/").content.decode()
    assert '<b id="payment">paid</b>' in page
    details = client.get(f"/orders/{order.pk}/").content.decode()
    assert "settled 89.60" in details and order.tavori_order_id in details


def test_forged_or_unsigned_callbacks_are_refused(client, sandbox, catcher):
    order = checkout(client)
    sandbox.pay(order.tavori_order_id)
    path, body, signature = catcher.next()
    forged = json.dumps({**json.loads(body), "amount": "0.01"})
    for content, signature_header in [(forged, signature), (body, ""), (body, signature.upper())]:
        response = client.post(path, content, content_type="application/json", HTTP_X_TAVORI_SIGNATURE=signature_header)
        assert response.status_code == 400
    order.refresh_from_db()
    assert order.state == "pending"


def test_notify_takes_only_post(client):
    assert client.get("/payments/notify/").status_code == 405


def test_declined_payment(client, sandbox, catcher):
    order = checkout(client, "ticket")
    sandbox.decline(order.tavori_order_id)
    path, body, signature = catcher.next()
    client.post(path, body, content_type="application/json", HTTP_X_TAVORI_SIGNATURE=signature)
    order.refresh_from_db()
    assert order.state == "failed"
    assert '<b id="payment">declined</b>' in client.get(f"/orders/{order.pk}/done/").content.decode()


CHROMIUM, CHROMEDRIVER = shutil.which("chromium"), shutil.which("chromedriver")


@pytest.mark.django_db(transaction=True)
def test_a_customer_pays_in_a_real_browser(live_server, sandbox, settings):
    if not (CHROMIUM and CHROMEDRIVER):
        if os.environ.get("CI"):
            pytest.fail("chromium and chromedriver are needed for the browser test")
        pytest.skip("chromium and chromedriver are not installed")
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support import expected_conditions
    from selenium.webdriver.support.wait import WebDriverWait

    settings.SHOP_PUBLIC_URL = live_server.url
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu"):
        options.add_argument(argument)
    # The browser runs without any sanitizer runtime the suite may be preloading.
    environment = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    browser = webdriver.Chrome(service=Service(executable_path=CHROMEDRIVER, env=environment), options=options)
    try:
        wait = WebDriverWait(browser, 20)
        browser.get(live_server.url + "/")
        browser.find_element(By.ID, "checkout").click()
        wait.until(expected_conditions.presence_of_element_located((By.ID, "pay")))
        assert "128.00 CNY" in browser.find_element(By.ID, "amount").text
        browser.find_element(By.ID, "pay").click()
        wait.until(expected_conditions.text_to_be_present_in_element((By.ID, "payment"), "paid"))
        assert browser.current_url.startswith(f"{live_server.url}/orders/")
    finally:
        browser.quit()
    order = Order.objects.get()
    deadline = time.time() + 10
    while not (order.state == "paid" and order.settled) and time.time() < deadline:
        time.sleep(0.05)
        order.refresh_from_db()
    assert (order.state, order.settled) == ("paid", True)
