"""Faults a test asks for: what the deliveries and the request handler do
wrong on purpose, for one order or for all of them."""

from __future__ import annotations

import threading
from dataclasses import dataclass

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
        self._deliveries: dict[str | None, DeliveryFaults] = {}
        self._answers: list[tuple[str, float]] = []

    def clear(self) -> None:
        with self._lock:
            self._deliveries.clear()
            self._answers.clear()

    def change(self, order_id: str | None, **changes) -> None:
        """Sets faults for one order, or with None for every order."""
        with self._lock:
            faults = self._deliveries.setdefault(order_id, DeliveryFaults())
            for name, value in changes.items():
                setattr(faults, name, value)

    def of(self, order_id: str) -> DeliveryFaults:
        with self._lock:
            return self._faults_of(order_id) or DeliveryFaults()

    def take(self, order_id: str, name: str) -> bool:
        """Uses up one of the counted faults `name` (drop, wrong_signature)."""
        with self._lock:
            faults = self._faults_of(order_id)
            if faults is None or getattr(faults, name) <= 0:
                return False
            setattr(faults, name, getattr(faults, name) - 1)
            return True

    def _faults_of(self, order_id: str) -> DeliveryFaults | None:
        """The order's own faults, else those set for every order."""
        return self._deliveries.get(order_id) or self._deliveries.get(None)

    def fail_answers(self, count: int, kind: str, seconds: float) -> None:
        if kind not in ANSWER_FAULTS:
            raise ValueError(f"kind must be one of {', '.join(ANSWER_FAULTS)}, not {kind!r}")
        with self._lock:
            self._answers.extend([(kind, seconds)] * count)

    def next_answer(self) -> tuple[str, float] | None:
        with self._lock:
            return self._answers.pop(0) if self._answers else None
