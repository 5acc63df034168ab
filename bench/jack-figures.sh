#!/usr/bin/env bash
# Figures of the tuner on JACK, from runs of the end-to-end JACK mode (e2e-tuner.sh jack) on
# a private dummy server: launch to the first reading and CPU while tuning at 44100 and
# 48000 Hz (RUNS runs each, periods drawn at random), the time from the server's return to
# the right reading, the longest process cycle at a 64-frame period, and the benchmark of
# the rate conversion per block.
#
#   jack-figures.sh BUILD_DIR [RUNS]      (RUNS: 3 by default)
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
build="$(cd "$1" && pwd)"
runs="${2:-3}"
export TUNER_REPLAY="${TUNER_REPLAY:-$build/tools/tuner-replay/tuner-replay}"
out="$build/bench/jack-figures"
rm -rf "$out"
mkdir -p "$out"
args=("$build/app/guitar-tuner" "$build/tools/test-audio" "$build/tests/app/check-tuner-screenshot"
    "$here/../resources" "${TUNER_CORPUS_DIR:-$here/../../shared/corpus}/public/fluidr3_steel_E4_+00c.flac")
run() { # NAME RATE PERIOD (empty: random)
    TUNER_JACK_RATE="$2" TUNER_JACK_PERIOD="$3" "$here/../tests/app/e2e-tuner.sh" jack "${args[@]}" "$out/$1" \
        server:down:2 >"$out/$1.log" 2>&1 || echo "$1 failed: see $out/$1.log" >&2
}
for rate in 44100 48000; do
    for ((i = 1; i <= runs; i++)); do run "$rate-$i" "$rate" ""; done
    run "$rate-period-64" "$rate" 64
done
# One line a figure: its values over the runs, lowest to highest.
figure() { # LABEL GLOB SED-EXPRESSION
    printf '%s: %s\n' "$1" "$(sed -n "$3" $2 2>/dev/null | sort -n | tr '\n' ' ')"
}
for rate in 44100 48000; do
    echo "== $rate Hz"
    figure "periods" "$out/$rate-*/results.txt" 's/.* \([0-9]*\) frames a period.*/\1/p'
    figure "launch to first reading (s)" "$out/$rate-*/results.txt" 's/^first reading \([0-9.]*\) s.*/\1/p'
    figure "CPU while tuning (% of a core)" "$out/$rate-*/results.txt" 's/^CPU while tuning: \([0-9.]*\).*/\1/p'
    figure "server back to reading (s)" "$out/$rate-*/results.txt" 's/.*reading back \([0-9.]*\) s.*/\1/p'
    figure "longest cycle at 64 frames (ms)" "$out/$rate-period-64/results.txt" \
        's/.*longest process cycle took \([0-9.]*\) ms.*/\1/p'
done
echo "== rate conversion per 512-frame block"
if [ -x "$build/bench/audio/bench_resampler" ]; then
    "$build/bench/audio/bench_resampler" 2>/dev/null | grep '^BM_'
else
    echo "no bench_resampler in $build (configure with -DTUNER_BUILD_BENCH=ON)"
fi
