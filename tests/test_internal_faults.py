"""Faults of the machine under the module (a clock before 1970, a random
source that fails) are raised as SystemError, never as the RuntimeError of a
service answer, after a line on standard error; nothing is sent."""

import os
import shutil
import subprocess

import pytest
from conftest import run_python

SHIMS = {
    "clock_before_epoch": """
        #include <time.h>
        int clock_gettime(clockid_t clock, struct timespec *now) {
            (void)clock;
            now->tv_sec = -86400;
            now->tv_nsec = 0;
            return 0;
        }
    """,
    "failing_random_source": """
        #include <errno.h>
        #include <sys/types.h>
        #include <sys/syscall.h>
        #include <unistd.h>
        /* Fails only requests of a nonce's 16 bytes, so that the interpreter
           can still seed itself. */
        ssize_t getrandom(void *buffer, size_t length, unsigned int flags) {
            if (length == 16) {
                errno = EIO;
                return -1;
            }
            return syscall(SYS_getrandom, buffer, length, flags);
        }
    """,
}

PROBE = """
import sys, urllib.request
from tavori_pay import Client
sent = []
urllib.request.urlopen = lambda request: sent.append(request)
client = Client("c", "SPONSOR-SECRET-7f3a")
for call in (lambda: client.create_payment(1, "CNY", "a", "n"), lambda: client.query_order("x")):
    try:
        call()
    except RuntimeError as error:
        print("RuntimeError", error)
    except Exception as error:
        print(type(error).__name__)
print("sent", len(sent))
"""


@pytest.fixture(scope="module")
def shims(tmp_path_factory):
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler for the fault shims")
    directory = tmp_path_factory.mktemp("shims")
    built = {}
    for name, source in SHIMS.items():
        (directory / f"{name}.c").write_text(source)
        library = directory / f"{name}.so"
        # The compiler runs without any sanitizer runtime the suite may be preloading.
        environment = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        subprocess.run([compiler, "-shared", "-fPIC", "-o", library, directory / f"{name}.c"], check=True,
                       env=environment)
        built[name] = str(library)
    return built


@pytest.mark.parametrize("fault, diagnostic", [
    ("clock_before_epoch", "earlier than the Unix epoch"),
    ("failing_random_source", "getrandom failed"),
])
def test_machine_faults_are_system_errors_and_send_nothing(shims, fault, diagnostic):
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), shims[fault]]))
    result = run_python(PROBE, env={"LD_PRELOAD": preload})
    assert result.stdout.split("\n")[:3] == ["SystemError", "SystemError", "sent 0"], result.stdout + result.stderr
    assert result.stderr.count("tavori_pay: internal error: ") == 2
    assert diagnostic in result.stderr
    assert "SPONSOR-SECRET-7f3a" not in result.stdout + result.stderr
