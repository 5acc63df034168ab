#!/usr/bin/env bash
# The real tuner under a virtual X server meeting the faults of live audio, one after the
# other in one run: for each, the E4 reading must come back within two strikes of
# audio resuming, the status line under the view must show while audio is missing (and
# only then) and be gone after; at the end Ctrl+Q must end the program within 2 s, also
# while a device is stalled or gone, and the standard error stream must hold none of the
# audio libraries' own lines.
#
# The note is struck every 109568 frames (2.48 s). The analysis misreads a strike whose
# onset falls in the middle of an analysis window (2048 frames) by design: its first
# reading picks a wrong string. A strike of an odd number of half windows puts every other
# onset at the edge of a window, so that of two strikes in a row one always reads right.
#
#   e2e-recovery.sh paced PROGRAM SUPPORT_DIR CHECKER RESOURCES INPUT OUT_DIR STEP...
#   e2e-recovery.sh pipewire PROGRAM SUPPORT_DIR CHECKER RESOURCES INPUT OUT_DIR STEP...
#
# STEP (paced): SIDE:FAULT:VALUE, a fault of the paced devices (paced-fault.sh), e.g.
# capture:stall:0.2, playback:vanish:3, capture:bursts:4096 (back to 512 once read).
# STEP (pipewire): server:down:SECONDS, the sound server stopped for that long.
# A last step quit:SIDE:FAULT:VALUE presses Ctrl+Q while that fault lasts.
# OUT_DIR gets the program's standard error (stderr.txt), the screenshots and results.txt,
# one line a step: how long the reading took to come back after audio resumed.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
mode="$1"
shift

fail() {
    echo "$*" >&2
    [ -n "${pid:-}" ] && kill -9 "$pid" 2>/dev/null
    exit 1
}

if [ "$mode" = inside ]; then
    support="$1" program="$2" checker="$3" resources="$4" out="$5"
    shift 5
    "$program" 2>"$out/stderr.txt" &
    pid=$!
    window=""
    for _ in $(seq 1 100); do
        window="$(xdotool search --onlyvisible --name '^Guitar Tuner$' 2>/dev/null | head -n1 || true)"
        [ -n "$window" ] && break
        kill -0 "$pid" 2>/dev/null || fail "the program ended before showing its window"
        sleep 0.1
    done
    [ -n "$window" ] || fail "no window within 10 s"

    height() { xdotool getwindowgeometry --shell "$window" | sed -n 's/^HEIGHT=//p'; }
    since() { echo "$EPOCHREALTIME - $1" | bc; }
    # Whether a screenshot shows the settled E4 reading.
    reading() {
        import -window "$window" "$out/shot.png" 2>/dev/null &&
            "$checker" "$out/shot.png" "$resources" 329.5,329.6,329.7 329.6 5 >/dev/null
    }
    # Waits for the reading up to $1 seconds, noting whether the status line showed.
    await_reading() {
        local start="$EPOCHREALTIME"
        while (($(echo "$(since "$start") < $1" | bc))); do
            [ "$(height)" -gt "$base" ] && shown=1
            reading && return 0
            sleep 0.1
        done
        return 1
    }
    # The realtime of the first event EVENT of SIDE in the paced log after line $3.
    logged() {
        tail -n "+$(($3 + 1))" "$TUNER_PACED_FOLDER/faults.log" | awk -v side="$1" -v event="$2" \
            '$3 == side && $4 == event { print $2; exit }'
    }

    base=100000 # the window's height without the status line, once audio flows
    await_reading 12 || fail "no E4 reading within 12 s of the window"
    base="$(height)"
    [ -n "$base" ] || fail "no window height"
    cp "$out/shot.png" "$out/first-reading.png"
    for step in "$@"; do
        IFS=: read -r side fault value <<<"$step"
        shown=0
        if [ "$side" = quit ]; then
            IFS=: read -r _ side fault value <<<"$step"
            "$support/paced-fault.sh" "$TUNER_PACED_FOLDER" "$side" "$fault" "$value" >/dev/null
            sleep 1.5
            break
        fi
        expect_shown=0
        if [ "$side" = server ]; then
            "$support/pipewire-session.sh" stop
            sleep "$value"
            expect_shown=1
            [ "$(height)" -gt "$base" ] && shown=1
            "$support/pipewire-session.sh" start
            resumed="$EPOCHREALTIME"
        else
            lines="$(wc -l <"$TUNER_PACED_FOLDER/faults.log")"
            "$support/paced-fault.sh" "$TUNER_PACED_FOLDER" "$side" "$fault" "$value" >/dev/null
            resumed="$EPOCHREALTIME"
            if [ "$fault" = stall ] || [ "$fault" = vanish ]; then
                # Audio missing for a second or more must show; less must not.
                (($(echo "$value >= 1" | bc))) && expect_shown=1
                resumed=""
                for _ in $(seq 1 300); do
                    [ "$(height)" -gt "$base" ] && shown=1
                    resumed="$(logged "$side" resume "$lines")"
                    [ -n "$resumed" ] && break
                    sleep 0.05
                done
                [ -n "$resumed" ] || fail "$step: audio did not resume"
            fi
        fi
        # By the end of the second whole strike after audio resumed: the rest of the strike
        # that was playing, then two strikes (a strike's reading settles within it).
        await_reading 7.5 || fail "$step: no E4 reading within two strikes of audio resuming"
        took="$(since "$resumed")"
        [ "$fault" = bursts ] && "$support/paced-fault.sh" "$TUNER_PACED_FOLDER" capture bursts 512 >/dev/null
        cp "$out/shot.png" "$out/after-$side-$fault-$value.png"
        for _ in $(seq 1 20); do
            [ "$(height)" -gt "$base" ] || break
            sleep 0.1
        done
        [ "$(height)" -gt "$base" ] && fail "$step: the status line stayed after audio came back"
        [ "$shown" = "$expect_shown" ] || fail "$step: the status line showed: $shown, expected: $expect_shown"
        printf '%s: reading back %.2f s after audio resumed; status line shown: %s\n' \
            "$step" "$took" "$shown" | tee -a "$out/results.txt"
    done

    # No window manager here: give the window the keyboard, then press the keys for real.
    xdotool windowfocus --sync "$window"
    pressed="$EPOCHREALTIME"
    xdotool key --clearmodifiers ctrl+q
    for _ in $(seq 1 40); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.05
    done
    kill -0 "$pid" 2>/dev/null && fail "Ctrl+Q did not end the program within 2 s"
    wait "$pid" || fail "the program ended with status $?"
    printf 'Ctrl+Q ended the program in %.2f s\n' "$(since "$pressed")" | tee -a "$out/results.txt"
    # The audio libraries' own complaints never reach the user's standard error.
    if grep -E "Expression '|ALSA lib|[Jj]ack" "$out/stderr.txt" | head -n 3 >&2; then
        fail "the audio libraries wrote to the standard error stream"
    fi
    exit 0
fi

program="$1" support="$2" checker="$3" resources="$4" input="$5" out="$6"
shift 6
rm -rf "$out"
mkdir -p "$out"
home="$(mktemp -d "${TMPDIR:-/tmp}/tuner-e2e-home-XXXXXX")"
trap 'rm -rf "$home"' EXIT
export HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_DATA_HOME="$home/.local/share"
export XDG_RUNTIME_DIR="$home/run" NO_AT_BRIDGE=1 GDK_BACKEND=x11
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
unset DBUS_SESSION_BUS_ADDRESS
xvfb=(xvfb-run -a -s "-screen 0 1024x768x24")
inside=("$here/e2e-recovery.sh" inside "$support" "$program" "$checker" "$resources" "$out" "$@")
case "$mode" in
paced)
    # One strike of the note, looped.
    sox "$input" -t raw -e floating-point -b 32 -c 2 -r 44100 "$out/strike.raw" trim 0 109568s remix 1 1
    "$support/paced-alsa.sh" --loop "$out/strike.raw" -- "${xvfb[@]}" "${inside[@]}"
    ;;
pipewire)
    if ! command -v pipewire >/dev/null || ! command -v wireplumber >/dev/null; then
        echo "PipeWire is not installed (bash tools/install-deps.sh installs it); skipped" >&2
        exit 77
    fi
    "$support/pipewire-session.sh" --log "$out/server.log" "$input" -- "${xvfb[@]}" "${inside[@]}"
    ;;
*)
    echo "usage: e2e-recovery.sh paced|pipewire PROGRAM SUPPORT_DIR CHECKER RESOURCES INPUT OUT_DIR STEP..." >&2
    exit 2
    ;;
esac
