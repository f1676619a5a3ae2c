"""The example shop served by gunicorn, or uvicorn, with several worker
processes on a database of the session's PostgreSQL cluster, as a shop runs
in production."""

from __future__ import annotations

import http.cookiejar
import os
import re
import signal
import subprocess
import sys
import threading
import urllib.parse
import urllib.request
from pathlib import Path

import postgres_cluster

ROOT = Path(__file__).resolve().parents[2]
SHOP = ROOT / "examples" / "django_shop"


SERVERS = {
    # Its options, and what it logs once a worker serves.
    "gunicorn": (["--graceful-timeout", "5"], "Booting worker"),
    "uvicorn": (["--timeout-graceful-shutdown", "5", "--no-access-log"], "Application startup complete"),
}
APPLICATIONS = {"gunicorn": "shop.wsgi", "uvicorn": "shop.asgi:application"}


def start_server(server: str, application: str, port: int, workers: int, environment: dict[str, str],
                 directory: Path) -> subprocess.Popen:
    """`application` served by `server` (gunicorn, or uvicorn with Django's
    ASGI handler) on 127.0.0.1, returned once every worker has started; its
    stderr is the caller's to read on."""
    options, started = SERVERS[server]
    binding = ["--bind", f"127.0.0.1:{port}"] if server == "gunicorn" else ["--host", "127.0.0.1", "--port", str(port)]
    process = subprocess.Popen([sys.executable, "-m", server, application, *options, "--workers", str(workers),
                                *binding], env=environment, cwd=directory, stderr=subprocess.PIPE, text=True)
    booted = 0
    for line in process.stderr:  # each worker announces itself
        booted += started in line
        if booted == workers:
            return process
    raise RuntimeError(f"{server} did not start its workers")


class ShopServer:
    def __init__(self, cluster: postgres_cluster.Cluster, database: str, working_space: Path, service_url: str,
                 workers: int = 4, server: str = "gunicorn", **settings: str):
        self.port = postgres_cluster.free_port()
        self.url = f"http://127.0.0.1:{self.port}"
        self.workers = workers
        self.environment = {
            **os.environ, "DJANGO_SETTINGS_MODULE": "shop.settings",
            "PYTHONPATH": os.pathsep.join([str(SHOP), str(ROOT / "django_app")]),
            "SHOP_DB_NAME": database, "SHOP_DB_PORT": str(cluster.port), "SHOP_WORKING_SPACE": str(working_space),
            "SHOP_PUBLIC_URL": self.url, "SHOP_DEBUG": "0", "TAVORI_PAY_BASE_URL": service_url, **settings,
        }
        cluster.create_database(database)
        self.manage("migrate", "-v0").check_returncode()
        self.process = start_server(server, APPLICATIONS[server], self.port, workers, self.environment, SHOP)
        # Kept, so that a full pipe never stalls the server, and for a failing test to show.
        self.log: list[str] = []
        self.logged = threading.Condition()
        threading.Thread(target=self._keep_log, daemon=True).start()

    def _keep_log(self) -> None:
        for line in self.process.stderr:
            with self.logged:
                self.log.append(line)
                self.logged.notify_all()

    def wait_for_log(self, pattern: str, timeout: float = 30) -> re.Match:
        """The first line of the server's log that matches `pattern`, once it is there."""
        def found() -> re.Match | None:
            return next(filter(None, (re.search(pattern, line) for line in self.log)), None)

        with self.logged:
            if not self.logged.wait_for(found, timeout):
                raise TimeoutError(f"no line like {pattern!r} in {timeout} s: {self.log[-20:]}")
            return found()

    def manage(self, *arguments: str, **settings: str) -> subprocess.CompletedProcess:
        """A management command of the shop, as its operator would run it."""
        return subprocess.run([sys.executable, "-m", "django", *arguments], env={**self.environment, **settings},
                              capture_output=True, text=True, timeout=120)

    def checkout(self, product: str = "poster") -> str:
        """Buys as a browser does, through the CSRF-protected form; the order id
        the pay page is for."""
        opener = urllib.request.build_opener(urllib.request.HTTPCookieProcessor(http.cookiejar.CookieJar()))
        page = opener.open(f"{self.url}/", timeout=30).read().decode()
        token = re.search(r'name="csrfmiddlewaretoken" value="([^"]+)"', page).group(1)
        form = urllib.parse.urlencode({"csrfmiddlewaretoken": token, "product": product}).encode()
        answer = opener.open(urllib.request.Request(f"{self.url}/", form, headers={"Referer": f"{self.url}/"}),
                             timeout=30)
        return answer.geturl().rsplit("/pay/", 1)[1]

    def stop(self) -> None:
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(20)
        finally:
            self.process.kill()
