#!/usr/bin/env bash
# Builds the sdist and the wheel as a release would, checks what the wheel
# links and what the sdist holds, then installs the wheel into fresh venvs
# (no build step, so no compiler involved) and runs the suites against it.
set -euo pipefail
cd "$(dirname "$0")/.."

dist=build/dist
rm -rf "$dist" build/wheel-venv*
.venv/bin/python -m pip install -q build auditwheel >/dev/null 2>&1
.venv/bin/python -m build --outdir "$dist" . >build/packaging.log 2>&1 || { tail -n 30 build/packaging.log; exit 1; }
wheel=$(ls "$dist"/*.whl)
sdist=$(ls "$dist"/*.tar.gz)
echo "packaging: built $(basename "$sdist") and $(basename "$wheel")"

.venv/bin/auditwheel show "$wheel"
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
.venv/bin/python -m zipfile -e "$wheel" "$unpacked"
needed=$(readelf -d "$unpacked"/tavori_pay*.so | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | tr '\n' ' ')
echo "packaging: the extension needs: $needed"
for library in $needed; do
    case "$library" in
        libm.so.6|libc.so.6|ld-linux-*.so.*) ;;
        *) echo "packaging: unexpected library $library" >&2; exit 1 ;;
    esac
done
for expected in tavori_pay_sandbox/__init__.py tavori_pay-stubs/__init__.pyi tavori_pay_django/__init__.py \
                tavori_pay_django/migrations/0001_initial.py \
                tavori_pay_django/management/commands/tavori_pay_reconcile.py; do
    [ -f "$unpacked/$expected" ] || { echo "packaging: the wheel lacks $expected" >&2; exit 1; }
done
contents=$(tar tzf "$sdist")
for expected in CMakeLists.txt src/lib.cpp src/json_reading.cpp sandbox/tavori_pay_sandbox/server.py \
                stubs/tavori_pay-stubs/__init__.pyi django_app/tavori_pay_django/models.py \
                LICENSE README.md CHANGELOG.md; do
    grep -q "/$expected\$" <<<"$contents" || { echo "packaging: the sdist lacks $expected" >&2; exit 1; }
done
if grep -q -E '/(\.venv|build)/' <<<"$contents"; then
    echo "packaging: the sdist holds build products" >&2
    exit 1
fi

# One abi3 wheel for every CPython from 3.12: abi3audit checks that it uses
# the stable ABI alone, and the same file then passes the module's suite and
# the Django app's on 3.12, the oldest Python it serves (make test runs both
# suites on the newest, from a wheel built the same way).
case "$(basename "$wheel")" in
    *-cp312-abi3-*.whl) ;;
    *) echo "packaging: $(basename "$wheel") is not a cp312-abi3 wheel" >&2; exit 1 ;;
esac
.venv/bin/python -m pip install -q abi3audit >/dev/null 2>&1
.venv/bin/abi3audit --strict --summary "$wheel"

# shellcheck source=scripts/find_python.sh
. scripts/find_python.sh
python=$(PYTHON_VERSION=3.12 find_python) || { echo "packaging: no Python 3.12 found" >&2; exit 1; }
venv=build/wheel-venv-3.12
rm -rf "$venv"
"$python" -m venv "$venv"
"$venv"/bin/python -m pip install -q --no-index --find-links "$dist" --only-binary=:all: tavori-pay
"$venv"/bin/python -m pip install -q pytest hypothesis django pytest-django selenium mypy "psycopg[binary]" prometheus-client \
    gunicorn uvicorn django-tasks django-tasks-db >/dev/null 2>&1
"$venv"/bin/python -m pytest -q -p no:cacheprovider tests
echo "packaging: the wheel passes the module's suite on Python 3.12"
# The Django app as installed from the wheel, not from the source tree.
(cd django_app/tests && ../../"$venv"/bin/python -m pytest -q -p no:cacheprovider -o pythonpath=.)
echo "packaging: the wheel passes the Django app's suite in a fresh venv on Python 3.12"
