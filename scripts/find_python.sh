# Sourced by the scripts that need an interpreter: find_python prints the path
# of a Python 3.12 or later, PYTHON_VERSION (say 3.12) asking for that version.
# shellcheck shell=bash

is_modern_python() {
    "$1" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 12) else 1)' >/dev/null 2>&1
}

# PYTHON_VERSION (say 3.12) asks for that version; without it, the newest
# 3.12 or later is taken.
wanted_version() {
    [ -z "${PYTHON_VERSION:-}" ] ||
        [ "$("$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)" = "$PYTHON_VERSION" ]
}

find_python() {
    local candidate
    for candidate in python3.13 python3.12 python3; do
        if command -v "$candidate" >/dev/null 2>&1 && is_modern_python "$candidate" && wanted_version "$candidate"; then
            command -v "$candidate"
            return
        fi
    done
    # pyenv's shims answer only for the selected version; its installed
    # versions live under its root.
    local roots=()
    command -v pyenv >/dev/null 2>&1 && roots+=("$(pyenv root)")
    roots+=("${PYENV_ROOT:-$HOME/.pyenv}")
    for root in "${roots[@]}"; do
        for candidate in $(ls -d "$root"/versions/3.* 2>/dev/null | sort -V -r); do
            if is_modern_python "$candidate/bin/python3" && wanted_version "$candidate/bin/python3"; then
                echo "$candidate/bin/python3"
                return
            fi
        done
    done
    return 1
}
