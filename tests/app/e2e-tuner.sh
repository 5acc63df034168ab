#!/usr/bin/env bash
# Runs the real tuner program under a virtual X server, as a user would, and records
# what it shows and prints.
#
#   e2e-tuner.sh live PROGRAM SUPPORT_DIR INPUT OUT_DIR
#       The paced ALSA devices (SUPPORT_DIR/paced-alsa.sh) play INPUT, looped, into the
#       default capture device; screenshots of the window are taken four a second for
#       nine seconds (OUT_DIR/shot-NN.png), then Ctrl+Q ends the program.
#   e2e-tuner.sh nodevice PROGRAM OUT_DIR
#       ALSA has no devices at all; the window must still come up, then Ctrl+Q ends it.
#   e2e-tuner.sh relaunch PROGRAM OUT_DIR
#       On a session bus: the window is hidden from its menu, a second launch brings it
#       back and ends at once.
#
# The program's standard error goes to OUT_DIR/stderr.txt. Exit status 0 when the
# program came up, did what was asked and ended through Ctrl+Q with status 0.
set -euo pipefail

mode="$1"
shift
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

# Inside the X server.
if [ "$mode" = "inside" ]; then
    what="$1" program="$2" out="$3"
    "$program" 2>"$out/stderr.txt" &
    pid=$!
    window=""
    for _ in $(seq 1 100); do
        window="$(xdotool search --sync --onlyvisible --name '^Guitar Tuner$' 2>/dev/null | head -n1 || true)"
        [ -n "$window" ] && break
        if ! kill -0 "$pid" 2>/dev/null; then
            echo "the program ended before showing its window" >&2
            wait "$pid" || true
            exit 1
        fi
        sleep 0.1
    done
    if [ -z "$window" ]; then
        echo "no window within 10 s" >&2
        kill -9 "$pid" || true
        exit 1
    fi
    case "$what" in
    live)
        sleep 1.5
        for n in $(seq -w 1 36); do
            import -window "$window" "$out/shot-$n.png"
            sleep 0.25
        done
        ;;
    nodevice)
        sleep 1
        import -window "$window" "$out/shot-01.png"
        ;;
    relaunch)
        sleep 1
        # Tuner menu, then its first item: "Show Tuner Window" (checked) hides the window.
        xdotool mousemove --window "$window" 20 10 click 1
        sleep 0.5
        xdotool key Down Return
        sleep 0.5
        if xdotool search --onlyvisible --name '^Guitar Tuner$' >/dev/null 2>&1; then
            echo "the menu did not hide the window" >&2
            kill "$pid"
            exit 1
        fi
        if ! timeout 10 "$program" 2>"$out/second-stderr.txt"; then
            echo "the second launch failed or did not end" >&2
            kill "$pid"
            exit 1
        fi
        sleep 0.5
        window="$(xdotool search --onlyvisible --name '^Guitar Tuner$' 2>/dev/null | head -n1 || true)"
        if [ -z "$window" ]; then
            echo "the second launch did not bring the window back" >&2
            kill "$pid"
            exit 1
        fi
        import -window "$window" "$out/shot-01.png"
        ;;
    esac
    # No window manager here: give the window the keyboard, then press the keys for real.
    xdotool windowfocus --sync "$window"
    xdotool key --clearmodifiers ctrl+q
    for _ in $(seq 1 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$pid" 2>/dev/null; then
        echo "Ctrl+Q did not end the program within 5 s" >&2
        kill -9 "$pid" || true
        exit 1
    fi
    wait "$pid"
    exit $?
fi

# A home of its own: no user settings, no desktop services but the ones started here.
home="$(mktemp -d "${TMPDIR:-/tmp}/tuner-e2e-home-XXXXXX")"
trap 'rm -rf "$home"' EXIT
export HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_DATA_HOME="$home/.local/share"
export XDG_RUNTIME_DIR="$home/run" NO_AT_BRIDGE=1 GDK_BACKEND=x11
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
unset DBUS_SESSION_BUS_ADDRESS
xvfb=(xvfb-run -a -s "-screen 0 1024x768x24")

case "$mode" in
live)
    program="$1" support="$2" input="$3" out="$4"
    mkdir -p "$out"
    "$support/paced-alsa.sh" --loop "$input" -- "${xvfb[@]}" "$here/e2e-tuner.sh" inside live "$program" "$out"
    ;;
nodevice)
    program="$1" out="$2"
    mkdir -p "$out"
    : >"$home/no-devices.conf"
    ALSA_CONFIG_PATH="$home/no-devices.conf" "${xvfb[@]}" "$here/e2e-tuner.sh" inside nodevice "$program" "$out"
    ;;
relaunch)
    program="$1" out="$2"
    mkdir -p "$out"
    : >"$home/no-devices.conf"
    ALSA_CONFIG_PATH="$home/no-devices.conf" dbus-run-session -- "${xvfb[@]}" "$here/e2e-tuner.sh" inside relaunch "$program" "$out"
    ;;
*)
    echo "usage: e2e-tuner.sh live|nodevice|relaunch ..." >&2
    exit 2
    ;;
esac
