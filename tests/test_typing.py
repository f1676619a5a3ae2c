"""The type stubs describe the module: a typical use passes mypy --strict,
and misuse is reported where it stands."""

import subprocess
import sys
from pathlib import Path

import pytest

import tavori_pay

HERE = Path(__file__).parent / "typing"

pytest.importorskip("mypy")


def mypy(path: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                           "--python-executable", sys.executable, str(path)],
                          capture_output=True, text=True, timeout=300)


def test_typical_use_passes_strict_checking():
    result = mypy(HERE / "usage.py")
    assert result.returncode == 0, result.stdout


def test_misuse_is_reported_line_by_line():
    result = mypy(HERE / "misuse.py")
    expected = {number for number, line in enumerate((HERE / "misuse.py").read_text().splitlines(), 1)
                if "# error" in line}
    reported = {int(line.split(":")[1]) for line in result.stdout.splitlines() if ": error:" in line}
    assert reported == expected, result.stdout


def test_stubs_cover_the_runtime_surface():
    stub = (Path(sys.prefix) / "lib").glob("python3*/site-packages/tavori_pay-stubs/__init__.pyi")
    text = next(stub).read_text()
    for cls in (tavori_pay.Client, tavori_pay.PaymentResult, tavori_pay.OrderStatus):
        for name in (n for n in dir(cls) if not n.startswith("_")):
            assert f"def {name}(" in text, f"{cls.__name__}.{name} is not in the stubs"
