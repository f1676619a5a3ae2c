#!/usr/bin/env bash
# Builds the libFuzzer harnesses over the module's pure C++ functions and runs
# each for a bounded time, after replaying the inputs kept from earlier
# findings; then the atheris harness over the Python surface. A finding fails
# the run; keep its input under fuzz/regressions/HARNESS/.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-40}
cxx=$(command -v clang++ || command -v clang++-14 || true)
if [ -z "$cxx" ]; then
    echo "fuzz: clang++ is needed (apt-get install clang libfuzzer-14-dev libclang-rt-14-dev)" >&2
    exit 1
fi
out=build/fuzz
mkdir -p "$out/artifacts"
# The harnesses and the core they link are built by CMake, with the flags
# and definitions of every other build.
cmake -S . -B "$out/cmake" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTAVORI_PAY_MODULE=OFF -DTAVORI_PAY_FUZZ=ON >/dev/null
cmake --build "$out/cmake" -j2 >/dev/null

total=0
for source in fuzz/fuzz_*.cpp; do
    harness=$(basename "$source" .cpp)
    harness=${harness#fuzz_}
    binary="$out/cmake/fuzz_$harness"
    regressions=(fuzz/regressions/$harness/*)
    if [ -e "${regressions[0]}" ]; then
        "$binary" "${regressions[@]}" >/dev/null 2>&1 || { echo "fuzz: $harness fails a kept regression input" >&2; exit 1; }
    fi
    corpus="$out/corpus/$harness"
    mkdir -p "$corpus"
    seeds=()
    [ -d "fuzz/seeds/$harness" ] && seeds+=("fuzz/seeds/$harness")
    [ "$harness" = json ] && [ -d ../shared/conformance/json/test_parsing ] && seeds+=(../shared/conformance/json/test_parsing)
    log="$out/$harness.log"
    if ! "$binary" "$corpus" "${seeds[@]}" -max_total_time="$seconds" -print_final_stats=1 \
            -artifact_prefix="$out/artifacts/$harness-" >"$log" 2>&1; then
        tail -n 40 "$log" >&2
        echo "fuzz: $harness found a failing input in $out/artifacts/; keep it under fuzz/regressions/$harness/" >&2
        exit 1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz: $harness: $runs executions in ${seconds}s, no finding"
    total=$((total + runs))
done
echo "fuzz: $total executions across the C++ harnesses"

.venv/bin/python -m pip install -q atheris >/dev/null 2>&1
.venv/bin/python fuzz/atheris_client.py -max_total_time="$seconds" -print_final_stats=1 >"$out/atheris.log" 2>&1 ||
    { tail -n 40 "$out/atheris.log" >&2; echo "fuzz: the atheris harness found a failing input" >&2; exit 1; }
echo "fuzz: atheris: $(sed -n 's/^stat::number_of_executed_units: *//p' "$out/atheris.log") executions, no finding"
