"""A throwaway MariaDB server: a temporary directory, a free port on
127.0.0.1, run as the unprivileged `mysql` user when started by root, removed
when stopped. The tests connect as `tavori`, with every privilege and no
password."""

from __future__ import annotations

import os
import pwd
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

from postgres_cluster import free_port

INSTALL_HINT = ("MariaDB is not installed: apt-get install mariadb-server libmariadb-dev pkg-config, then "
                "pip install mysqlclient (or run `make test`, which installs them)")
USER = "tavori"


def server_binary() -> Path | None:
    for name in ("mariadbd", "mysqld"):
        for directory in ("/usr/sbin", "/usr/libexec", "/usr/bin"):
            if (found := Path(directory, name)).exists():
                return found
    return None


class Server:
    def __init__(self, binary: Path):
        self.binary = binary
        self.directory = Path(tempfile.mkdtemp(prefix="tavori-mariadb-"))
        self.data = self.directory / "data"
        self.socket = self.directory / "server.sock"
        self.port = free_port()
        self.user = "mysql" if os.geteuid() == 0 else None
        if self.user:
            account = pwd.getpwnam(self.user)
            os.chown(self.directory, account.pw_uid, account.pw_gid)
        self.process: subprocess.Popen[bytes] | None = None

    def start(self) -> Server:
        install = shutil.which("mariadb-install-db") or shutil.which("mysql_install_db")
        if install is None:
            raise RuntimeError(INSTALL_HINT)
        user = ["--user=" + self.user] if self.user else []
        done = subprocess.run([install, "--no-defaults", f"--datadir={self.data}", *user,
                               "--auth-root-authentication-method=normal", "--skip-test-db"],
                              capture_output=True, text=True, timeout=120)
        if done.returncode != 0:
            raise RuntimeError(f"{install} failed: {done.stdout}{done.stderr}")
        # Durability is not wanted from a server that lives for one test run.
        self.process = subprocess.Popen(
            [str(self.binary), "--no-defaults", f"--datadir={self.data}", f"--socket={self.socket}",
             f"--port={self.port}", "--bind-address=127.0.0.1", "--skip-name-resolve", "--skip-log-bin",
             f"--log-error={self.directory / 'server.log'}", f"--pid-file={self.directory / 'server.pid'}",
             "--innodb-flush-log-at-trx-commit=0", "--innodb-doublewrite=0", "--innodb-buffer-pool-size=128M",
             "--max-connections=300", "--character-set-server=utf8mb4", "--collation-server=utf8mb4_bin", *user],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self._add_user()
        return self

    def _add_user(self) -> None:
        import MySQLdb

        deadline = time.monotonic() + 60
        while True:
            try:
                connection = MySQLdb.connect(unix_socket=str(self.socket), user="root")
                break
            except MySQLdb.OperationalError as error:
                if self.process is not None and self.process.poll() is not None or time.monotonic() > deadline:
                    log = self.directory / "server.log"
                    raise RuntimeError(f"MariaDB did not start:\n{log.read_text() if log.exists() else ''}") from error
                # The server is opening its files; it answers in well under a second.
                time.sleep(0.05)
        with connection:
            cursor = connection.cursor()
            cursor.execute(f"CREATE USER '{USER}'@'127.0.0.1'")
            cursor.execute(f"GRANT ALL PRIVILEGES ON *.* TO '{USER}'@'127.0.0.1'")
        self._load_time_zones()

    def _load_time_zones(self) -> None:
        """The named time zones, which Django's dates in another zone than
        UTC need and a new server lacks."""
        to_sql = shutil.which("mariadb-tzinfo-to-sql") or shutil.which("mysql_tzinfo_to_sql")
        client = shutil.which("mariadb") or shutil.which("mysql")
        if to_sql is None or client is None:
            raise RuntimeError(INSTALL_HINT)
        zones = subprocess.run([to_sql, "/usr/share/zoneinfo"], capture_output=True, check=True, timeout=120).stdout
        subprocess.run([client, "--no-defaults", f"--socket={self.socket}", "--user=root", "mysql"], input=zones,
                       capture_output=True, check=True, timeout=120)

    def stop(self) -> None:
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            self.process.wait(timeout=60)

    def remove(self) -> None:
        try:
            self.stop()
        finally:
            shutil.rmtree(self.directory, ignore_errors=True)

