#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# into a venv of its own and runs the module's suite and the example shop's
# under it, leak detection on. Any report fails the run. Either suite alone:
# check_sanitizers.sh module | shop (CI runs them at different times).
set -euo pipefail
cd "$(dirname "$0")/.."

suites=("$@")
[ "$#" -gt 0 ] || suites=(module shop)
for suite in "${suites[@]}"; do
    case $suite in
        module | shop) ;;
        *) echo "check_sanitizers.sh: no suite '$suite' (module or shop)" >&2; exit 2 ;;
    esac
done

venv=build/sanitizers/venv
if [ ! -x "$venv/bin/python" ]; then
    .venv/bin/python -m venv "$venv"
fi
"$venv/bin/python" -m pip install -q --upgrade pip scikit-build-core setuptools >/dev/null
"$venv/bin/python" -m pip install -q --no-build-isolation \
    -C cmake.define.TAVORI_PAY_SANITIZE=ON -C cmake.build-type=RelWithDebInfo \
    -C install.strip=false -C build-dir=build/sanitizers/cmake ".[test]"

# The interpreter is not instrumented, so the runtimes are preloaded.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:abort_on_error=0:fast_unwind_on_malloc=0"
export LSAN_OPTIONS="suppressions=$PWD/tests/sanitizers/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
# Python objects from malloc, so that the leak check can follow the pointers
# they hold (pymalloc's arenas are invisible to it).
export PYTHONMALLOC=malloc
export TAVORI_PAY_SANITIZED=1

for suite in "${suites[@]}"; do
    case $suite in
        module) "$venv/bin/python" -m pytest -q tests ;;
        shop) (cd examples/django_shop && "../../$venv/bin/python" -m pytest -q) ;;
    esac
done
echo "sanitizers: no reports (${suites[*]})"
