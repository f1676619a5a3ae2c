"""The shop as an ASGI application: uvicorn shop.asgi:application"""

import os

from django.core.asgi import get_asgi_application

os.environ.setdefault("DJANGO_SETTINGS_MODULE", "shop.settings")
application = get_asgi_application()
