"""A small shop that takes payments through tavori_pay."""

import os
from pathlib import Path

BASE_DIR = Path(__file__).resolve().parent.parent

SECRET_KEY = os.environ.get("SHOP_SECRET_KEY", "django-insecure-example-shop-only")
DEBUG = os.environ.get("SHOP_DEBUG", "1") == "1"
ALLOWED_HOSTS = ["127.0.0.1", "localhost", "testserver"]

INSTALLED_APPS = ["django.contrib.contenttypes", "django.contrib.staticfiles", "shop"]
MIDDLEWARE = [
    "django.middleware.security.SecurityMiddleware",
    "django.middleware.common.CommonMiddleware",
    "django.middleware.csrf.CsrfViewMiddleware",
]
ROOT_URLCONF = "shop.urls"
TEMPLATES = [{
    "BACKEND": "django.template.backends.django.DjangoTemplates",
    "APP_DIRS": True,
    "OPTIONS": {"context_processors": ["django.template.context_processors.request"]},
}]
DATABASES = {"default": {"ENGINE": "django.db.backends.sqlite3", "NAME": BASE_DIR / "shop.sqlite3"}}
DEFAULT_AUTO_FIELD = "django.db.models.BigAutoField"
USE_TZ = True
STATIC_URL = "static/"

# tavori_pay's Client() reads COMMUNITY_KEY and SPONSOR_KEY from
# WORKING_SPACE/auth_key.py (see auth_key.py.example).
WORKING_SPACE = os.environ.get("SHOP_WORKING_SPACE", str(BASE_DIR))

# Where the payment service reaches the shop (notify and return URLs); empty
# means the address the customer's request came to.
SHOP_PUBLIC_URL = os.environ.get("SHOP_PUBLIC_URL", "")
# The account that receives the royalty share of every split payment.
SHOP_ROYALTY_RECIPIENT = os.environ.get("SHOP_ROYALTY_RECIPIENT", "artist@example.com")
