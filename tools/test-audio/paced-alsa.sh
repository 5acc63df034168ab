#!/usr/bin/env bash
# Runs a command with ALSA's default devices replaced by the paced test devices (see
# PacedDevice.cpp): the default capture device delivers INPUT at 44100 frames per second,
# bit for bit, and the default playback device drains at the same rate.
#
#   paced-alsa.sh [--loop] INPUT -- COMMAND [ARGUMENTS...]
#
# INPUT is raw interleaved two-channel 32-bit little-endian float at 44100 Hz (*.raw,
# *.f32), or any file sox reads (FLAC, WAV), converted first (mono to both channels).
# After INPUT's end the capture delivers silence, or INPUT again with --loop.
# The command finds the devices' folder in TUNER_PACED_FOLDER: paced-fault.sh injects
# faults there, and FOLDER/faults.log tells when they started and when audio resumed
# (PacedDevice.cpp).
# tuner-pacer and tuner-pacing-sink are looked for in $TUNER_TEST_AUDIO_BIN, else beside this
# script (the build copies it to <build>/tools/test-audio/). The command's exit status is
# the script's.
set -euo pipefail

loop=()
if [ "${1:-}" = "--loop" ]; then
    loop=(--loop)
    shift
fi
if [ "$#" -lt 3 ] || [ "$2" != "--" ]; then
    echo "usage: paced-alsa.sh [--loop] INPUT -- COMMAND [ARGUMENTS...]" >&2
    exit 2
fi
input="$1"
shift 2

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
bin="${TUNER_TEST_AUDIO_BIN:-$here}"
for program in tuner-pacer tuner-pacing-sink; do
    if [ ! -x "$bin/$program" ]; then
        echo "paced-alsa.sh: $bin/$program not found (build it, or set TUNER_TEST_AUDIO_BIN)" >&2
        exit 2
    fi
done
template="$here/paced-alsa.conf.in"

folder="$(mktemp -d "${TMPDIR:-/tmp}/tuner-paced-alsa-XXXXXX")"
helpers=()
cleanup() {
    for helper in "${helpers[@]}"; do
        kill "$helper" 2>/dev/null || true
        wait "$helper" 2>/dev/null || true
    done
    rm -rf "$folder"
}
trap cleanup EXIT

raw="$input"
case "$input" in
*.raw | *.f32) ;;
*)
    raw="$folder/input.raw"
    sox "$input" -t raw -e floating-point -b 32 -c 2 -r 44100 --endian little "$raw"
    ;;
esac

"$bin/tuner-pacer" "${loop[@]}" "$folder" "$raw" &
helpers+=($!)
"$bin/tuner-pacing-sink" "$folder" &
helpers+=($!)
# Each helper renames its pipe into place once it holds it open.
for _ in $(seq 1 500); do
    [ -p "$folder/capture/fifo" ] && [ -p "$folder/playback/fifo" ] && break
    sleep 0.01
done
if ! [ -p "$folder/capture/fifo" ] || ! [ -p "$folder/playback/fifo" ]; then
    echo "paced-alsa.sh: the pacing helpers did not start" >&2
    exit 2
fi
sed -e "s|@FOLDER@|$folder|g" "$template" >"$folder/asound.conf"

status=0
TUNER_PACED_FOLDER="$folder" ALSA_CONFIG_PATH="$folder/asound.conf" "$@" || status=$?
exit "$status"
