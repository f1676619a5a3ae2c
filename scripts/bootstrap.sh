#!/usr/bin/env bash
# Prepares a fresh machine for the project: a Python 3.12+ interpreter, the
# Debian build dependencies, and .venv with the module and its test extras.
# Safe to run again: each step does only what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

log() { printf 'bootstrap: %s\n' "$*"; }

# shellcheck source=scripts/find_python.sh
. scripts/find_python.sh

debian_packages() {
    # chromium and its driver serve the shop's browser test; clang and its
    # runtimes the fuzzers; postgresql the Django app's tests, which start a
    # throwaway cluster of their own, and mariadb-server (libmariadb-dev
    # builds mysqlclient) likewise; clang-format checks src/.
    local wanted=(g++ make cmake pkg-config libssl-dev libgtest-dev chromium chromium-driver
                  clang libclang-rt-dev clang-format valgrind postgresql mariadb-server libmariadb-dev)
    if apt-cache show libboost-json-dev >/dev/null 2>&1 || dpkg -s libboost-json-dev >/dev/null 2>&1; then
        wanted+=(libboost-json-dev)
    else
        wanted+=(libboost-json1.81-dev)
    fi
    printf '%s\n' "${wanted[@]}"
}

install_debian_packages() {
    [ -f /usr/include/boost/json/src.hpp ] && [ -f /usr/include/openssl/evp.h ] &&
        [ -f /usr/include/gtest/gtest.h ] && command -v g++ >/dev/null && command -v cmake >/dev/null &&
        command -v chromium >/dev/null && command -v chromedriver >/dev/null && command -v clang++ >/dev/null &&
        command -v valgrind >/dev/null && command -v clang-format >/dev/null && compgen -G "/usr/lib/postgresql/*/bin/pg_ctl" >/dev/null &&
        command -v mariadb-install-db >/dev/null && command -v mariadb_config >/dev/null &&
        return 0
    command -v apt-get >/dev/null 2>&1 || { log "install g++, cmake, OpenSSL 3, Boost.JSON and GoogleTest headers"; exit 1; }
    if [ "$(id -u)" != 0 ]; then
        log "missing build dependencies; run as root:"
        log "  apt-get update && apt-get install -y $(debian_packages | tr '\n' ' ')"
        exit 1
    fi
    log "installing Debian build dependencies"
    apt-get update -qq
    # shellcheck disable=SC2046
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $(debian_packages) >/dev/null
}

python=$(find_python) || { log "no Python ${PYTHON_VERSION:-3.12 or later} found (PATH, then pyenv)"; exit 1; }
install_debian_packages

# VENV names the environment (default .venv), so that CI can keep one per Python.
venv=${VENV:-.venv}
if [ -x "$venv/bin/python" ] && { ! is_modern_python "$venv/bin/python" || ! wanted_version "$venv/bin/python"; }; then
    rm -rf "$venv"
fi
if [ ! -x "$venv/bin/python" ]; then
    log "creating $venv with $("$python" --version)"
    "$python" -m venv "$venv"
fi
# setuptools builds mysqlclient (no Linux wheels) under --no-build-isolation.
"$venv/bin/python" -m pip install -q --upgrade pip scikit-build-core setuptools >/dev/null
log "building and installing tavori-pay into $venv"
"$venv/bin/python" -m pip install -q --no-build-isolation ".[test]"
