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
mkdir -p "$out/core" "$out/artifacts"
flags=(-std=c++20 -O1 -g -fno-omit-frame-pointer -Isrc
       -DOPENSSL_API_COMPAT=30000 -DOPENSSL_NO_DEPRECATED -DBOOST_JSON_NO_LIB -DBOOST_CONTAINER_NO_LIB
       -DBOOST_JSON_NO_SSE2)
objects=()
for source in src/json_reading.cpp src/key_file.cpp src/signing.cpp src/utf8.cpp; do
    object="$out/core/$(basename "$source" .cpp).o"
    if [ ! -f "$object" ] || [ "$source" -nt "$object" ] || [ "${source%.cpp}.hpp" -nt "$object" ]; then
        "$cxx" "${flags[@]}" -fsanitize=fuzzer-no-link,address,undefined -c "$source" -o "$object"
    fi
    objects+=("$object")
done

total=0
for harness in json key_file encoder amount hmac; do
    binary="$out/fuzz_$harness"
    "$cxx" "${flags[@]}" -fsanitize=fuzzer,address,undefined "fuzz/fuzz_$harness.cpp" "${objects[@]}" -lcrypto -o "$binary"
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
