"""Faults a test asks for: what the deliveries and the request handler do
wrong on purpose, for one order or for all of them. An order's own fault of
a kind wins over the same kind set for all orders; the kinds it does not set
for itself come from those set for all."""

from __future__ import annotations

import threading
from dataclasses import dataclass
from typing import Any

ANSWER_FAULTS = ("500", "503", "not-json", "close", "slow")


@dataclass
class DeliveryFaults:
    drop: int = 0             # callbacks never sent
    copies: int = 1           # times each delivered callback is sent
    out_of_order: bool = False  # an order's newest callback goes first
    delay: float = 0.0        # seconds before a callback's first attempt
    wrong_signature: int = 0  # attempts signed with a wrong key


class Faults:
    def __init__(self) -> None:
        self._lock = threading.Lock()
        # The faults set, kind by kind, for one order or (None) for all.
        self._deliveries: dict[str | None, dict[str, Any]] = {}
        self._answers: list[tuple[str, float]] = []

    def clear(self) -> None:
        with self._lock:
            self._deliveries.clear()
            self._answers.clear()

    def change(self, order_id: str | None, **changes: Any) -> None:
        """Sets faults for one order, or with None for every order."""
        unknown = set(changes) - set(DeliveryFaults.__dataclass_fields__)
        if unknown:
            raise ValueError(f"no such fault: {', '.join(sorted(unknown))}")
        with self._lock:
            self._deliveries.setdefault(order_id, {}).update(changes)

    def of(self, order_id: str) -> DeliveryFaults:
        with self._lock:
            return DeliveryFaults(**{**self._deliveries.get(None, {}), **self._deliveries.get(order_id, {})})

    def take(self, order_id: str, name: str) -> bool:
        """Uses up one of the counted faults `name` (drop, wrong_signature):
        the order's own when it set that kind, else the one set for all."""
        with self._lock:
            scope = order_id if name in self._deliveries.get(order_id, {}) else None
            faults = self._deliveries.get(scope, {})
            if faults.get(name, 0) <= 0:
                return False
            faults[name] -= 1
            return True

    def fail_answers(self, count: int, kind: str, seconds: float) -> None:
        if kind not in ANSWER_FAULTS:
            raise ValueError(f"kind must be one of {', '.join(ANSWER_FAULTS)}, not {kind!r}")
        with self._lock:
            self._answers.extend([(kind, seconds)] * count)

    def next_answer(self) -> tuple[str, float] | None:
        with self._lock:
            return self._answers.pop(0) if self._answers else None
