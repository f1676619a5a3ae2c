"""An HTTP server that serves its connections on a fixed set of long-lived
threads. ThreadingHTTPServer starts a thread for every connection, and the
client opens one per request: measured over loopback, that start-up and the
hand-over of the interpreter lock to each new thread doubled the CPU time the
sandbox spent per request."""

from __future__ import annotations

import queue
import threading
from http.server import HTTPServer


class PooledHTTPServer(HTTPServer):
    def __init__(self, address, handler, workers: int):
        if workers < 1:
            raise ValueError("a server needs at least one worker")
        super().__init__(address, handler)
        self._connections: queue.SimpleQueue = queue.SimpleQueue()
        self._workers = [threading.Thread(target=self._serve_connections, daemon=True)
                         for _ in range(workers)]
        for worker in self._workers:
            worker.start()

    def process_request(self, request, client_address) -> None:
        self._connections.put((request, client_address))

    def _serve_connections(self) -> None:
        while (connection := self._connections.get()) is not None:
            request, client_address = connection
            try:
                self.finish_request(request, client_address)
            except Exception:
                self.handle_error(request, client_address)
            finally:
                self.shutdown_request(request)

    def server_close(self) -> None:
        super().server_close()
        # Connections already accepted are still answered, then each worker
        # meets its stop mark.
        for _ in self._workers:
            self._connections.put(None)
        for worker in self._workers:
            worker.join(5)
