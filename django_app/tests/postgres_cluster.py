"""A throwaway PostgreSQL cluster: a temporary directory, a free port on
127.0.0.1, run as the unprivileged `postgres` user when started by root
(PostgreSQL refuses to run as root), removed when stopped."""

from __future__ import annotations

import glob
import os
import pwd
import shutil
import socket
import subprocess
import tempfile
from pathlib import Path

INSTALL_HINT = "PostgreSQL is not installed: apt-get install postgresql (or run `make test`, which installs it)"


def server_binaries() -> Path | None:
    """The newest Debian-packaged server, else whatever pg_config names."""
    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/pg_ctl"), key=lambda path: int(path.split("/")[4]))
    if found:
        return Path(found[-1]).parent
    if pg_config := shutil.which("pg_config"):
        bindir = Path(subprocess.run([pg_config, "--bindir"], capture_output=True, text=True).stdout.strip())
        if (bindir / "pg_ctl").exists() and (bindir / "initdb").exists():
            return bindir
    return None


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Cluster:
    def __init__(self, binaries: Path):
        self.binaries = binaries
        self.directory = Path(tempfile.mkdtemp(prefix="tavori-postgres-"))
        self.data = self.directory / "data"
        self.port = free_port()
        self.user = "postgres" if os.geteuid() == 0 else None
        if self.user:
            account = pwd.getpwnam(self.user)
            os.chown(self.directory, account.pw_uid, account.pw_gid)

    def _run(self, *command: str) -> None:
        done = subprocess.run([str(self.binaries / command[0]), *command[1:]], user=self.user,
                              capture_output=True, text=True, timeout=120)
        if done.returncode != 0:
            log = self.directory / "server.log"
            raise RuntimeError(f"{command[0]} failed: {done.stderr.strip()}\n"
                               f"{log.read_text() if log.exists() else ''}")

    def start(self) -> Cluster:
        if not self.data.exists():
            self._run("initdb", "-D", str(self.data), "-U", "postgres", "--auth=trust", "-E", "UTF8",
                      "--no-sync", "--no-instructions")
        # Durability is not wanted from a cluster that lives for one test run.
        options = (f"-p {self.port} -k {self.directory} -c listen_addresses=127.0.0.1 -c fsync=off "
                   "-c synchronous_commit=off -c full_page_writes=off -c max_connections=200")
        self._run("pg_ctl", "-D", str(self.data), "-l", str(self.directory / "server.log"), "-w",
                  "-o", options, "start")
        return self

    def stop(self) -> None:
        self._run("pg_ctl", "-D", str(self.data), "-m", "fast", "-w", "stop")

    def remove(self) -> None:
        try:
            self.stop()
        finally:
            shutil.rmtree(self.directory, ignore_errors=True)

    def create_database(self, name: str) -> None:
        self._run("createdb", "-h", "127.0.0.1", "-p", str(self.port), "-U", "postgres", name)

    def url(self, name: str) -> str:
        return f"postgresql://postgres@127.0.0.1:{self.port}/{name}"
