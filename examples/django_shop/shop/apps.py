from django.apps import AppConfig


class ShopConfig(AppConfig):
    name = "shop"

    def ready(self) -> None:
        from . import fulfilment  # noqa: F401  (connects the signal receivers)
