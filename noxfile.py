"""The Django app's suite on every supported Python, Django and database.

    nox -l                                            # the sessions
    nox -s "django-3.12(django='5.2')"                # SQLite, PostgreSQL, then MariaDB
    nox -s "django-3.13(django='6.0')" -- sqlite -x   # the databases named, then pytest's -x
    nox -s typing                                     # mypy --strict, ruff, django-upgrade, pre-commit

Each session installs the package (the module built incrementally in
build/, shared by the sessions of one Python) with the given Django into a
venv of its own and runs django_app/tests on each database. On PostgreSQL
and MariaDB the suite starts a throwaway server of its own; they come from
Debian's `postgresql` and `mariadb-server` (make bootstrap installs them)."""

from __future__ import annotations

import os
from itertools import takewhile
from pathlib import Path

import nox

PYTHONS = ["3.12", "3.13"]
DJANGOS = ["5.2", "6.0", "6.1"]
DATABASES = ["sqlite", "postgresql", "mariadb"]

nox.options.default_venv_backend = "venv"
nox.options.reuse_venv = "yes"


def _put_pyenv_pythons_on_path() -> None:
    """pyenv's shims answer only for the selected version; its installed
    ones live under its root, where nox does not look."""
    root = Path(os.environ.get("PYENV_ROOT", Path.home() / ".pyenv"))
    found = []
    for version in PYTHONS:
        candidates = sorted(root.glob(f"versions/{version}.*/bin"), key=lambda path: path.parent.name)
        found += [str(candidates[-1])] if candidates else []
    os.environ["PATH"] = os.pathsep.join([*found, os.environ.get("PATH", "")])


_put_pyenv_pythons_on_path()


@nox.session(python=PYTHONS)
@nox.parametrize("django", DJANGOS)
def django(session: nox.Session, django: str) -> None:
    """The suite on SQLite, PostgreSQL and MariaDB; `-- sqlite mariadb`
    runs those named, and what follows them goes to pytest."""
    named = list(takewhile(DATABASES.__contains__, session.posargs))
    databases, arguments = named or DATABASES, session.posargs[len(named):]
    session.install("--upgrade", "pip", "scikit-build-core", "setuptools")  # setuptools: mysqlclient's build
    session.install("--no-build-isolation", ".[test]", f"django~={django}.0")
    session.run("python", "-c", "import django; print('Django', django.get_version())")
    with session.chdir("django_app/tests"):
        for database in databases:
            # The flow's long run is make test's; a short one here for each Django.
            session.run("python", "-m", "pytest", "-p", "no:cacheprovider", *arguments,
                        env={"TAVORI_TEST_DATABASE": database, "TAVORI_FLOW_EXAMPLES": "25"})


@nox.session(python="3.13")
def typing(session: nox.Session) -> None:
    """Every shipped package (the Django app, the sandbox and its pytest
    plugin) under mypy --strict with django-stubs; ruff with the Django rules
    over them and the tests; django-upgrade for the oldest supported Django
    (it must find nothing to rewrite)."""
    session.install("--upgrade", "pip", "scikit-build-core", "setuptools")  # setuptools: mysqlclient's build
    session.install("--no-build-isolation", ".[test]", "django-stubs~=6.1.0", "ruff", "django-upgrade")
    session.run("python", "-m", "mypy", "--config-file", "django_app/mypy.ini", "-p", "tavori_pay_django")
    _expect_misuse_refused(session, Path("django_app/tests/typing/misuse.py"))
    with session.chdir("sandbox"):  # its own source, not the installed copy
        session.run("python", "-m", "mypy", "--strict", "-p", "tavori_pay_sandbox")
    session.run("ruff", "check", "django_app", "sandbox", "tests")
    sources = [str(path) for path in Path("django_app/tavori_pay_django").rglob("*.py")]
    session.run("django-upgrade", "--target-version", DJANGOS[0], *sources)
    if Path(".git").exists():  # the hooks a commit runs pass on every file
        session.install("pre-commit")
        session.run("pre-commit", "run", "--all-files", "--show-diff-on-failure")


def _expect_misuse_refused(session: nox.Session, misuse: Path) -> None:
    """mypy reports an error on each line of `misuse` marked "# error", and
    on no other."""
    output = session.run("python", "-m", "mypy", "--config-file", "django_app/mypy.ini", str(misuse),
                         success_codes=[1], silent=True)
    reported = {int(line.split(":")[1]) for line in str(output).splitlines()
                if line.startswith(str(misuse)) and ": error:" in line}
    expected = {number for number, line in enumerate(misuse.read_text().splitlines(), 1) if "# error" in line}
    if reported != expected:
        session.error(f"mypy on {misuse}: errors on lines {sorted(reported)}, expected on {sorted(expected)}:\n{output}")
