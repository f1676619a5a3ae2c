"""A minimal project around the app, on SQLite or, with
TAVORI_TEST_DATABASE=postgresql, on the cluster the test session starts."""

import os
import tempfile

SECRET_KEY = "tests-only"
DEBUG = False
ALLOWED_HOSTS = ["*"]
USE_TZ = True
INSTALLED_APPS = ["django.contrib.admin", "django.contrib.auth", "django.contrib.contenttypes",
                  "django.contrib.sessions", "django.contrib.messages", "tavori_pay_django"]
MIDDLEWARE = [
    "django.contrib.sessions.middleware.SessionMiddleware",
    "django.middleware.common.CommonMiddleware",
    "django.middleware.csrf.CsrfViewMiddleware",
    "django.contrib.auth.middleware.AuthenticationMiddleware",
    "django.contrib.messages.middleware.MessageMiddleware",
]
ROOT_URLCONF = "urls"
TEMPLATES = [{"BACKEND": "django.template.backends.django.DjangoTemplates", "APP_DIRS": True,
              "OPTIONS": {"context_processors": ["django.template.context_processors.request",
                                                 "django.contrib.auth.context_processors.auth",
                                                 "django.contrib.messages.context_processors.messages"]}}]
if os.environ.get("TAVORI_TEST_DATABASE") == "postgresql":
    # Host and port are filled in once the session's cluster is up.
    DATABASES = {"default": {"ENGINE": "django.db.backends.postgresql", "NAME": "tavori", "USER": "postgres",
                             "HOST": "127.0.0.1", "PORT": ""}}
else:
    # A file, not memory: the tests that run threads need SQLite's own locking.
    DATABASES = {"default": {"ENGINE": "django.db.backends.sqlite3", "NAME": "unused.sqlite3",
                             "OPTIONS": {"transaction_mode": "IMMEDIATE", "timeout": 20},
                             "TEST": {"NAME": os.path.join(tempfile.gettempdir(), f"tavori-tests-{os.getpid()}.sqlite3")}}}
DEFAULT_AUTO_FIELD = "django.db.models.BigAutoField"
TAVORI_PAY = {"COMMUNITY_KEY": "shop-community", "SPONSOR_KEYS": ["shop-sponsor-secret"],
              "PUBLIC_URL": "https://shop.example"}
STATIC_URL = "static/"
