"""The project the Django benchmarks serve: the app's notify view and, beside
it, the smallest hand-written view that verifies and updates the same row."""

import os

SECRET_KEY = "bench-only"
DEBUG = False
ALLOWED_HOSTS = ["*"]
USE_TZ = True
INSTALLED_APPS = ["django.contrib.contenttypes", "django_tasks_db", "tavori_pay_django", "receivers.ReceiversConfig"]
MIDDLEWARE = ["django.middleware.common.CommonMiddleware", "django.middleware.csrf.CsrfViewMiddleware"]
ROOT_URLCONF = "urls"
DATABASES = {"default": {"ENGINE": "django.db.backends.postgresql", "NAME": os.environ["BENCH_DB_NAME"],
                         "USER": "postgres", "HOST": "127.0.0.1", "PORT": os.environ["BENCH_DB_PORT"],
                         "CONN_MAX_AGE": 600}}
DEFAULT_AUTO_FIELD = "django.db.models.BigAutoField"
TAVORI_PAY = {"COMMUNITY_KEY": os.environ["BENCH_COMMUNITY_KEY"], "SPONSOR_KEYS": [os.environ["BENCH_SPONSOR_KEY"]],
              "PUBLIC_URL": "https://shop.example"}
# BENCH_TASK_BACKEND=1: events delivered by django-tasks-db's db_worker.
TASKS = {"default": {"BACKEND": "django_tasks_db.DatabaseBackend"}}
if os.environ.get("BENCH_TASK_BACKEND"):
    TAVORI_PAY["TASK_BACKEND"] = "default"
