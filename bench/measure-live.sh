#!/usr/bin/env bash
# Figures of the live path, for people: the real tuner under a virtual X server on the paced
# ALSA devices, hearing the E4 strike looped; its CPU use while tuning (at 100 % and at
# 200 %, GDK_SCALE=2) and while its input fails, and how long Ctrl+Q takes in each state of
# its devices.
#
#   bench/measure-live.sh BUILD_DIR [RECORDING]
set -euo pipefail
build="$(cd "$1" && pwd)"
recording="${2:-$(dirname "$0")/../../shared/corpus/public/fluidr3_steel_E4_+00c.flac}"
support="$build/tools/test-audio"

if [ "${3:-}" = inside ]; then
    state="$4"
    "$build/app/guitar-tuner" 2>/dev/null &
    pid=$!
    for _ in $(seq 1 100); do
        window="$(xdotool search --onlyvisible --name '^Guitar Tuner$' 2>/dev/null | head -n1 || true)"
        [ -n "$window" ] && break
        sleep 0.1
    done
    sleep 4 # the reading settles
    # CPU seconds of the process (user and system) over SECONDS, as a share of one core.
    cpu() {
        local before after
        before="$(awk '{ print $14 + $15 }' "/proc/$pid/stat")"
        sleep "$1"
        after="$(awk '{ print $14 + $15 }' "/proc/$pid/stat")"
        echo "scale=1; 100 * ($after - $before) / $(getconf CLK_TCK) / $1" | bc
    }
    case "$state" in
    tuning*) echo "CPU while tuning at scale $GDK_SCALE: $(cpu 10) % of one core" ;;
    failing)
        "$support/paced-fault.sh" "$TUNER_PACED_FOLDER" capture lose 4 >/dev/null
        sleep 3
        echo "CPU while the input fails (one block in four lost): $(cpu 10) % of one core"
        ;;
    *)
        # STATE is SIDE:FAULT:VALUE, a fault of the paced devices held while Ctrl+Q is pressed.
        IFS=: read -r side fault value <<<"$state"
        [ "$side" = none ] || "$support/paced-fault.sh" "$TUNER_PACED_FOLDER" "$side" "$fault" "$value" >/dev/null
        sleep 3
        xdotool windowfocus --sync "$window"
        pressed="${EPOCHREALTIME/./}"
        xdotool key --clearmodifiers ctrl+q
        while kill -0 "$pid" 2>/dev/null && ((${EPOCHREALTIME/./} - pressed < 5000000)); do
            sleep 0.005
        done
        printf 'Ctrl+Q with %s: %.3f s\n' "$state" "$(echo "scale=4; (${EPOCHREALTIME/./} - $pressed) / 1000000" | bc)"
        ;;
    esac
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    exit 0
fi

folder="$(mktemp -d "${TMPDIR:-/tmp}/tuner-measure-XXXXXX")"
trap 'rm -rf "$folder"' EXIT
export HOME="$folder" XDG_RUNTIME_DIR="$folder/run" NO_AT_BRIDGE=1 GDK_BACKEND=x11
mkdir -m 700 "$XDG_RUNTIME_DIR"
unset DBUS_SESSION_BUS_ADDRESS
sox "$recording" -t raw -e floating-point -b 32 -c 2 -r 44100 "$folder/strike.raw" trim 0 109912s remix 1 1
for state in tuning tuning@2 failing none:none:0 capture:stall:inf capture:vanish:inf \
    capture:starve:4 capture:lose:3 capture:clock:-300000 playback:stall:inf playback:vanish:inf; do
    scale=1
    [ "$state" = tuning@2 ] && scale=2
    GDK_SCALE=$scale "$support/paced-alsa.sh" --loop "$folder/strike.raw" -- \
        xvfb-run -a -s "-screen 0 $((1024 * scale))x$((768 * scale))x24" \
        "$0" "$build" "$recording" inside "$state"
done
