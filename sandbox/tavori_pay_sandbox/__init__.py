"""A local sandbox of the Tavori payment service: real state in SQLite, the
same checks as the hosted service, a pay page, signed callbacks with retries,
settlement, refunds and expiry. Standard library only.

    tavori-sandbox --port 8000
    python -m tavori_pay_sandbox --port 0 --db :memory:
"""

from .server import Sandbox
from .store import Account

__all__ = ["Account", "Sandbox"]
