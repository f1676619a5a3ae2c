#!/usr/bin/env bash
# A focused run of the suite under valgrind's memcheck: the module's surface,
# records, callbacks, answers and client construction, with Python objects
# from malloc so that memcheck sees them. Any invalid read or write fails it.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHONMALLOC=malloc valgrind --tool=memcheck --error-exitcode=3 --leak-check=no \
    --suppressions=tests/sanitizers/valgrind.supp -q \
    .venv/bin/python -m pytest -q -p no:cacheprovider \
    tests/test_surface.py tests/test_records.py tests/test_callbacks.py tests/test_client_construction.py \
    "tests/test_requests.py::TestAnswerEnvelope" "tests/test_requests.py::TestExchange" \
    -k "not independent_reading and not accepts_exactly"
echo "valgrind: no invalid read or write"
