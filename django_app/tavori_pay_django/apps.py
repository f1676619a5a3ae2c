from django.apps import AppConfig


class TavoriPayConfig(AppConfig):
    name = "tavori_pay_django"
    label = "tavori_pay"
    verbose_name = "Tavori payments"
    default_auto_field = "django.db.models.BigAutoField"

    def ready(self) -> None:
        from . import checks  # noqa: F401  (registers the system checks)
