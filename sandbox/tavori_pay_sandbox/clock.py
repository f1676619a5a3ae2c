"""The sandbox's time: the wall clock plus whatever a test has moved it on.
Expiry, settlement and callback retries run on it; the freshness of a
request's timestamp is checked against the wall clock, since the client's
clock does not move."""

from __future__ import annotations

import threading
import time


class Clock:
    def __init__(self) -> None:
        self._offset = 0.0
        self._changed = threading.Condition()

    def now(self) -> float:
        return time.time() + self._offset

    def advance(self, seconds: float) -> None:
        if seconds < 0:
            raise ValueError("the clock only moves forward")
        with self._changed:
            self._offset += seconds
            self._changed.notify_all()

    def reset(self) -> None:
        with self._changed:
            self._offset = 0.0
            self._changed.notify_all()

    def wake(self) -> None:
        """Wakes every waiter, to look at what has changed."""
        with self._changed:
            self._changed.notify_all()

    def wait(self, until: float, stopping: threading.Event) -> None:
        """Returns once the clock reads `until`, or sooner when woken or
        stopping; the caller looks again at what it waits for."""
        with self._changed:
            left = until - self.now()
            if left > 0 and not stopping.is_set():
                self._changed.wait(left)
