#!/usr/bin/env bash
# Injects a fault into the paced ALSA devices in FOLDER (paced-alsa.sh passes it to its
# command as TUNER_PACED_FOLDER) and returns once the helper has logged its start, printing
# that line of FOLDER/faults.log (PacedDevice.cpp has the faults and the log).
#
#   paced-fault.sh FOLDER capture stall|vanish SECONDS   (SECONDS may be inf; 0 ends it)
#   paced-fault.sh FOLDER playback stall|vanish SECONDS
#   paced-fault.sh FOLDER capture bursts FRAMES           (512 is the normal pace)
#   paced-fault.sh FOLDER capture|playback clock PPM      (-50000: 95 % of real time)
#   paced-fault.sh FOLDER capture jitter|late SECONDS     (0 ends jitter)
#   paced-fault.sh FOLDER capture lose K|starve N         (one chunk in K lost; N a second kept)
set -euo pipefail

if [ "$#" -ne 4 ]; then
    echo "usage: paced-fault.sh FOLDER capture|playback stall|vanish|bursts|clock|jitter|late|lose|starve VALUE" >&2
    exit 2
fi
folder="$1" side="$2" fault="$3" value="$4"
control="$folder/$side.control"
if ! [ -p "$control" ]; then
    echo "paced-fault.sh: no $side control in $folder" >&2
    exit 2
fi
log="$folder/faults.log"
before="$(wc -l <"$log")"
# The helper holds its control pipe open, so this opens at once unless the helper is gone.
timeout 2 bash -c 'printf "%s %s\n" "$1" "$2" >"$3"' _ "$fault" "$value" "$control"
for _ in $(seq 1 200); do
    line="$(tail -n "+$((before + 1))" "$log" | awk -v side="$side" '$3 == side' | head -n1)"
    case "$line" in
    *" $side $fault "*)
        echo "$line"
        exit 0
        ;;
    ?*)
        echo "paced-fault.sh: refused: $line" >&2
        exit 1
        ;;
    esac
    sleep 0.005
done
echo "paced-fault.sh: the $side helper did not answer" >&2
exit 1
