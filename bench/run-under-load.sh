#!/usr/bin/env bash
# Runs the tests that meet real time (the real engine and the end-to-end runs) again and
# again while busy loops load the CPU, and counts how often each passes: a test that only
# passes on an idle machine fails here.
#
#   bench/run-under-load.sh BUILD_DIR [RUNS] [BUSY_LOOPS] [TEST_REGEX]
#
# Defaults: 20 runs, 2 busy loops, 'real_backend|e2e_'. The output of failed runs is kept in
# BUILD_DIR/under-load/.
set -euo pipefail
build="$1"
runs="${2:-20}"
loops="${3:-2}"
regex="${4:-real_backend|e2e_}"
out="$build/under-load"
rm -rf "$out"
mkdir -p "$out"

busy=()
stop_busy() { [ "${#busy[@]}" -gt 0 ] && kill "${busy[@]}" 2>/dev/null || true; }
trap stop_busy EXIT
for _ in $(seq 1 "$loops"); do
    (while :; do :; done) &
    busy+=("$!")
done

declare -A passed
for run in $(seq 1 "$runs"); do
    ctest --test-dir "$build" -R "$regex" --output-on-failure >"$out/run-$run.txt" 2>&1 || true
    while read -r name result; do
        passed[$name]=$((${passed[$name]:-0} + result))
    done < <(awk '/ Test +#[0-9]+: / { print $4, ($0 ~ / Passed /) ? 1 : 0 }' "$out/run-$run.txt")
    echo "run $run done"
done
for name in "${!passed[@]}"; do
    echo "$name: passed ${passed[$name]} of $runs"
done | sort
