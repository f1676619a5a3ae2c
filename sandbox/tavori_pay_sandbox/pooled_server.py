"""An HTTP server that serves its connections on a fixed set of long-lived
threads. ThreadingHTTPServer starts a thread for every connection, and the
client opens one per request: measured over loopback, that start-up and the
hand-over of the interpreter lock to each new thread doubled the CPU time the
sandbox spent per request.

A connection reaches a worker only once it has sent something: connections
that stay silent (a browser's preconnection, or a client that never speaks)
wait on one selector thread, not on a worker, and are closed when they have
been silent too long."""

from __future__ import annotations

import queue
import select
import selectors
import socket
import sys
import threading
import time
from collections.abc import Callable
from http.server import HTTPServer
from socketserver import BaseRequestHandler
from typing import Any, cast

# A connection accepted, and the address it came from.
Connection = tuple[socket.socket, Any]
Request = socket.socket | tuple[bytes, socket.socket]


class PooledHTTPServer(HTTPServer):
    def __init__(self, address: tuple[str, int], handler: Callable[..., BaseRequestHandler], workers: int,
                 silence_limit: float = 10.0):
        if workers < 1:
            raise ValueError("a server needs at least one worker")
        # Set before binding: a failed bind calls server_close().
        self._workers: list[threading.Thread] = []
        self._silent: _SilentConnections | None = None
        super().__init__(address, handler)
        self._connections: queue.SimpleQueue[Connection | None] = queue.SimpleQueue()
        self._silent = _SilentConnections(self._connections.put, self.shutdown_request, silence_limit)
        self._workers = [threading.Thread(target=self._serve_connections, daemon=True)
                         for _ in range(workers)]
        for worker in self._workers:
            worker.start()

    def process_request(self, request: Request, client_address: Any) -> None:
        assert isinstance(request, socket.socket)  # a TCP server's
        if _has_spoken(request):
            self._connections.put((request, client_address))
        elif self._silent is not None:
            self._silent.add(request, client_address)

    def _serve_connections(self) -> None:
        while (connection := self._connections.get()) is not None:
            request, client_address = connection
            try:
                self.finish_request(request, client_address)
            except Exception:
                self.handle_error(request, client_address)
            finally:
                self.shutdown_request(request)

    def handle_error(self, request: Request, client_address: Any) -> None:
        # A client that left before its answer (timed out, closed) is no
        # fault of the sandbox's: nothing to report.
        if not isinstance(sys.exc_info()[1], ConnectionError):
            super().handle_error(request, client_address)

    def server_close(self) -> None:
        super().server_close()
        if self._silent is not None:
            self._silent.close()
        # Connections already accepted are still answered, then each worker
        # meets its stop mark.
        for _ in self._workers:
            self._connections.put(None)
        for worker in self._workers:
            worker.join(5)


def _has_spoken(connection: socket.socket) -> bool:
    """Whether the connection has bytes waiting (or has closed or failed: the
    worker then meets that and closes it)."""
    poller = select.poll()
    poller.register(connection, select.POLLIN)
    return bool(poller.poll(0))


class _SilentConnections:
    """Holds connections until they send their first byte, then hands them on."""

    def __init__(self, hand_on: Callable[[Connection], None], drop: Callable[[socket.socket], None],
                 silence_limit: float):
        self._hand_on, self._drop, self._silence_limit = hand_on, drop, silence_limit
        self._arrivals: queue.SimpleQueue[Connection] = queue.SimpleQueue()
        self._wake_reader, self._wake_writer = socket.socketpair()
        self._wake_reader.setblocking(False)
        self._selector = selectors.DefaultSelector()
        self._selector.register(self._wake_reader, selectors.EVENT_READ)
        self._closing = False
        self._thread = threading.Thread(target=self._watch, daemon=True)
        self._thread.start()

    def add(self, connection: socket.socket, client_address: Any) -> None:
        self._arrivals.put((connection, client_address))
        self._wake_writer.send(b"\0")

    def close(self) -> None:
        self._closing = True
        self._wake_writer.send(b"\0")
        self._thread.join(5)
        self._wake_writer.close()

    def _watch(self) -> None:
        waiting: dict[socket.socket, tuple[Any, float]] = {}
        while not self._closing:
            now = time.monotonic()
            first_deadline = min((deadline for _, deadline in waiting.values()), default=None)
            for key, _ in self._selector.select(None if first_deadline is None else max(0, first_deadline - now)):
                if key.fileobj is self._wake_reader:
                    self._take_arrivals(waiting)
                else:
                    connection = cast(socket.socket, key.fileobj)
                    self._selector.unregister(connection)
                    self._hand_on((connection, waiting.pop(connection)[0]))
            now = time.monotonic()
            for connection in [c for c, (_, deadline) in waiting.items() if deadline <= now]:
                self._selector.unregister(connection)
                del waiting[connection]
                self._drop(connection)
        for connection in waiting:
            self._drop(connection)
        self._selector.close()
        self._wake_reader.close()

    def _take_arrivals(self, waiting: dict[socket.socket, tuple[Any, float]]) -> None:
        try:
            while self._wake_reader.recv(4096):
                pass
        except BlockingIOError:
            pass
        while True:
            try:
                connection, client_address = self._arrivals.get_nowait()
            except queue.Empty:
                return
            waiting[connection] = (client_address, time.monotonic() + self._silence_limit)
            self._selector.register(connection, selectors.EVENT_READ)
