"""A small shop that takes payments through tavori_pay_django."""

import importlib.util
import os
from pathlib import Path

import django

BASE_DIR = Path(__file__).resolve().parent.parent

SECRET_KEY = os.environ.get("SHOP_SECRET_KEY", "django-insecure-example-shop-only")
# Off unless asked for (SHOP_DEBUG=1): a debug page shows what a failed
# request held.
DEBUG = os.environ.get("SHOP_DEBUG", "0") == "1"
ALLOWED_HOSTS = ["127.0.0.1", "localhost", "testserver"]

# django-tasks-db, when installed, lets the shop's payment events be
# delivered by its db_worker (SHOP_TASK_BACKEND=default): the receivers then
# run after the buyer's page, which keeps asking until they have.
TASKS_DB = importlib.util.find_spec("django_tasks_db") is not None
INSTALLED_APPS = ["django.contrib.admin", "django.contrib.auth", "django.contrib.contenttypes",
                  "django.contrib.sessions", "django.contrib.messages", "django.contrib.staticfiles",
                  *(["django_tasks"] if TASKS_DB and importlib.util.find_spec("django.tasks") is None else []),
                  *(["django_tasks_db"] if TASKS_DB else []), "tavori_pay_django", "shop"]
MIDDLEWARE = [
    "django.middleware.security.SecurityMiddleware",
    "django.contrib.sessions.middleware.SessionMiddleware",
    "django.middleware.common.CommonMiddleware",
    "django.middleware.csrf.CsrfViewMiddleware",
    "django.contrib.auth.middleware.AuthenticationMiddleware",
    "django.contrib.messages.middleware.MessageMiddleware",
]
ROOT_URLCONF = "shop.urls"
TEMPLATES = [{
    "BACKEND": "django.template.backends.django.DjangoTemplates",
    "APP_DIRS": True,
    "OPTIONS": {"context_processors": ["django.template.context_processors.request",
                                       "django.contrib.auth.context_processors.auth",
                                       "django.contrib.messages.context_processors.messages"]},
}]
if os.environ.get("SHOP_SQLITE"):  # a worker beside the web process, on the same file
    DATABASES = {"default": {"ENGINE": "django.db.backends.sqlite3", "NAME": os.environ["SHOP_SQLITE"],
                             "OPTIONS": {"transaction_mode": "IMMEDIATE", "timeout": 20}}}
elif os.environ.get("SHOP_DB_NAME"):
    DATABASES = {"default": {"ENGINE": "django.db.backends.postgresql", "NAME": os.environ["SHOP_DB_NAME"],
                             "USER": os.environ.get("SHOP_DB_USER", "postgres"),
                             "HOST": os.environ.get("SHOP_DB_HOST", "127.0.0.1"),
                             "PORT": os.environ.get("SHOP_DB_PORT", "5432")}}
else:
    # IMMEDIATE: concurrent callbacks wait for each other instead of failing
    # with "database is locked".
    DATABASES = {"default": {"ENGINE": "django.db.backends.sqlite3", "NAME": BASE_DIR / "shop.sqlite3",
                             "OPTIONS": {"transaction_mode": "IMMEDIATE"}}}
DEFAULT_AUTO_FIELD = "django.db.models.BigAutoField"
USE_TZ = True
STATIC_URL = "static/"

# tavori_pay reads COMMUNITY_KEY and SPONSOR_KEY from WORKING_SPACE/auth_key.py
# (see auth_key.py.example).
WORKING_SPACE = os.environ.get("SHOP_WORKING_SPACE", str(BASE_DIR))
TAVORI_PAY = {
    # Where the payment service reaches the shop; empty means the address
    # the customer's request came to.
    "PUBLIC_URL": os.environ.get("SHOP_PUBLIC_URL", ""),
    # None: the web process delivers events right after the callback's answer.
    "TASK_BACKEND": os.environ.get("SHOP_TASK_BACKEND") or None,
}
if TASKS_DB:
    TASKS = {"default": {"BACKEND": "django_tasks_db.DatabaseBackend"}}
# How long fulfilling a paid order takes (a stand-in for sending the goods).
SHOP_FULFILMENT_SECONDS = float(os.environ.get("SHOP_FULFILMENT_SECONDS", "0"))
LOGGING = {"version": 1, "disable_existing_loggers": False,
           "handlers": {"console": {"class": "logging.StreamHandler"}},
           "loggers": {"shop": {"handlers": ["console"], "level": "INFO"}}}
# Where the confirmation of a paid order goes; the console shows it.
SHOP_ORDERS_EMAIL = os.environ.get("SHOP_ORDERS_EMAIL", "orders@shop.example")
if django.VERSION >= (6, 1):
    MAILERS = {"default": {"BACKEND": "django.core.mail.backends.console.EmailBackend"}}
else:
    EMAIL_BACKEND = "django.core.mail.backends.console.EmailBackend"
# The account that receives the royalty share of every split payment.
SHOP_ROYALTY_RECIPIENT = os.environ.get("SHOP_ROYALTY_RECIPIENT", "artist@example.com")
