"""A minimal project around the app, on SQLite or, with
TAVORI_TEST_DATABASE=postgresql or mariadb, on the server the test session
starts."""

import importlib.util
import os
import tempfile

SECRET_KEY = "tests-only"
DEBUG = False
ALLOWED_HOSTS = ["*"]
USE_TZ = True
# Django's tasks framework: its own from 6.0, the django-tasks backport (an app) on 5.2.
TASKS_PACKAGE = "django.tasks" if importlib.util.find_spec("django.tasks") else "django_tasks"
INSTALLED_APPS = ["django.contrib.admin", "django.contrib.auth", "django.contrib.contenttypes",
                  "django.contrib.sessions", "django.contrib.messages",
                  *(["django_tasks"] if TASKS_PACKAGE == "django_tasks" else []), "django_tasks_db",
                  "tavori_pay_django"]
# "database" and "queue_down" are what test_tasks.py gives
# TAVORI_PAY["TASK_BACKEND"]; every other test delivers in the process that
# moved the payment.
TASKS = {"default": {"BACKEND": f"{TASKS_PACKAGE}.backends.immediate.ImmediateBackend"},
         "database": {"BACKEND": "django_tasks_db.DatabaseBackend"},
         "queue_down": {"BACKEND": "queue_down.QueueDownBackend"}}
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
DATABASES: dict[str, dict[str, object]]
if os.environ.get("TAVORI_TEST_DATABASE") == "postgresql":
    # Host and port are filled in once the session's cluster is up.
    DATABASES = {alias: {"ENGINE": "django.db.backends.postgresql", "NAME": name, "USER": "postgres",
                         "HOST": "127.0.0.1", "PORT": ""}
                 for alias, name in (("default", "tavori"), ("payments", "tavori_payments"))}
elif os.environ.get("TAVORI_TEST_DATABASE") == "mariadb":
    # Host and port are filled in once the session's server is up.
    DATABASES = {alias: {"ENGINE": "django.db.backends.mysql", "NAME": name, "USER": "tavori",
                         "HOST": "127.0.0.1", "PORT": "", "OPTIONS": {"charset": "utf8mb4"},
                         "TEST": {"CHARSET": "utf8mb4", "COLLATION": "utf8mb4_bin"}}
                 for alias, name in (("default", "tavori"), ("payments", "tavori_payments"))}
else:
    # A file, not memory: the tests that run threads need SQLite's own locking.
    DATABASES = {alias: {"ENGINE": "django.db.backends.sqlite3", "NAME": f"unused-{alias}.sqlite3",
                         "OPTIONS": {"transaction_mode": "IMMEDIATE", "timeout": 20},
                         "TEST": {"NAME": os.path.join(tempfile.gettempdir(),
                                                       f"tavori-tests-{alias}-{os.getpid()}.sqlite3")}}
                 for alias in ("default", "payments")}
# "payments" is where test_routing.py sends the app's models; every other
# test leaves it unused.
DEFAULT_AUTO_FIELD = "django.db.models.BigAutoField"
TAVORI_PAY = {"COMMUNITY_KEY": "shop-community", "SPONSOR_KEYS": ["shop-sponsor-secret"],
              "PUBLIC_URL": "https://shop.example"}
STATIC_URL = "static/"
