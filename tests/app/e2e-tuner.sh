#!/usr/bin/env bash
# The real tuner under a virtual X server, as a user runs it.
#
#   e2e-tuner.sh MODE PROGRAM TEST_AUDIO_DIR CHECKER RESOURCES INPUT OUT_DIR [STEP...]
#
# MODE paced: the paced ALSA devices (TEST_AUDIO_DIR/paced-alsa.sh) play one strike of INPUT,
# looped; campaign: the same, and once the reading shows, the fault campaign runs its faults
# (fault-campaign.sh, which starts this with TUNER_CAMPAIGN naming it and CAMPAIGN holding its
# options; sourced here, it runs in this shell); pipewire: a private sound-server session
# plays it (pipewire-session.sh, with the options in TUNER_E2E_SESSION). The E4 reading must
# show within 12 s (OUT_DIR/settled.png), and the standard error hold the device and latency
# reports and each line of TUNER_E2E_EXPECT (lines parted by |). Then each STEP in turn: the
# reading must come back within two strikes of audio resuming, and the status line under
# the view must show while audio is missing (and only then) and be gone after.
# OUT_DIR/results.txt gets a line a step: how long the reading took to come back.
#   STEP (pipewire, jack): server:down:SECONDS, the sound server stopped for that long.
#   STEP (pipewire): server:pulse:SECONDS, the same, and meanwhile ALSA's default device made
#   the Pulse protocol's plugin (~/.asoundrc, as on a PulseAudio desktop; pipewire-pulse serves
#   it): the tuner must come back through it (its stream, "ALSA plug-in", linked to the source).
#   server:default:SOURCE, the desktop's default source changed (pactl): the tuner must follow.
#   server:remove:SOURCE, the default source SOURCE gone (its modules unloaded) and the other
#   source ("guitar" or "guitar-2") made the default: the tuner must follow.
#   server:suspend:SECONDS, the default source suspended (pactl) for that long;
#   server:freeze:SECONDS, the servers hung (SIGSTOP) for that long.
#   STEP (jack): server:period:FRAMES, the server's period changed; server:rate:RATE, the
#   server stopped for 2 s and started at another rate; program:stop:SECONDS, the tuner
#   stopped (SIGSTOP) for that long, its frames lost.
#   Last steps quit:server:down, quit:server:freeze (the server hung, SIGSTOP) or, with the
#   paced devices, quit:SIDE:NAME:VALUE (a fault of paced-fault.sh) press Ctrl+Q while so.
# A reading is the E4 string selected and a readout that the strike, delivered evenly, shows
# at full strength and in tune at some alignment of the analysis windows (tuner-replay
# --range --in-tune: OUT_DIR/range.txt).
# MODE wayland: the paced devices under Weston (its X11 backend inside the virtual X server),
# the tuner a Wayland client with no X display: the reading must show, the tuner talk to
# Weston and to no X server, closing must hide the window and a second launch show it with
# the keyboard (OUT_DIR/relaunched.png), and the standard error hold no warning of GTK's.
# Skipped (77) where Weston is not installed.
# MODE nodevice: ALSA has no devices, on a session bus; the window must show the view and
# then the status line, and the standard error say what is missing; then the window is
# hidden from its menu, and a second launch must bring it back and end at once.
# In every mode Ctrl+Q must then end the program within 0.5 s with status 0, and the
# standard error (OUT_DIR/stderr.txt) hold none of the audio libraries' own lines.
# TUNER_REPLAY names tuner-replay (else it is looked for on the PATH). With GDK_SCALE set the
# screen is that many times larger and the checker looks for the view drawn at that scale.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

now() { echo "${EPOCHREALTIME/./}"; } # microseconds
micros() { awk -v s="$1" 'BEGIN { printf "%d", s * 1000000 }'; } # of seconds, as given
since() { echo "$EPOCHREALTIME - $1" | bc; } # seconds
# Runs COMMAND every 0.1 s (every $every s if set) until it succeeds, for at most SECONDS.
within() {
    local until
    until=$(($(now) + $(micros "$1")))
    shift
    until "$@"; do
        ((${EPOCHREALTIME/./} < until)) || return 1
        sleep "${every:-0.1}"
    done
}

# MODE jack: a private JACK server as a guitarist's studio runs it, here with no sound card
# (the dummy backend, at TUNER_JACK_RATE Hz and TUNER_JACK_PERIOD frames a period), and
# sndfile-jackplay looping the strike at the server's rate as client jackplay. Started before
# the program, its port connected to the tuner's as a user would; a server step stops both
# and starts them again, and the tuner must then connect its port to the player by itself.
alive() { [ -n "$(ps -o stat= -p "$1" 2>/dev/null | grep -v Z)" ]; }
jack_strike() {
    sox -t raw -e floating-point -b 32 -c 2 -r 44100 "$out/strike.raw" -r "$TUNER_JACK_RATE" \
        "$out/strike-jack.wav" remix 1
}
jack_up() {
    # In a subshell, so that the processes are reaped whichever shell stops them.
    (jackd -n "$JACK_DEFAULT_SERVER" -d dummy -r "$TUNER_JACK_RATE" -p "$TUNER_JACK_PERIOD" \
        >>"$out/jackd.log" 2>&1 & echo $! >"$out/jackd.pid")
    jack_wait -w -t 10 >/dev/null 2>&1 || return 1
    (sndfile-jackplay -l 0 "$out/strike-jack.wav" >/dev/null 2>&1 & echo $! >"$out/player.pid")
}
jack_down() {
    local pid
    for pid in $(cat "$out/player.pid" "$out/jackd.pid" 2>/dev/null); do
        kill -TERM "$pid" 2>/dev/null || true
        while alive "$pid"; do sleep 0.05; done
    done
    rm -f "$out/player.pid" "$out/jackd.pid"
}
# The tuner's port connected to the player and to the first capture port (the dummy's silence).
jack_connected() {
    jack_lsp -c guitar-tuner:in >"$out/connections.txt" 2>/dev/null &&
        grep -qx "   jackplay:out_1" "$out/connections.txt" &&
        grep -qx "   system:capture_1" "$out/connections.txt"
}

# The session below runs this script again with "inside" before the same arguments.
inside=0
[ "${1:-}" != inside ] || { inside=1; shift; }
mode="$1" program="$2" support="$3" checker="$4" resources="$5" input="$6" out="$7"
session=("$here/e2e-tuner.sh" inside "$@")
shift 7
if ((inside)); then
    launch=("$program") pid="" weston="" xserver="" window=""
    fail() { echo "$*" >&2; [ -z "$pid" ] || kill -9 "$pid" 2>/dev/null; exit 1; }
    # However this shell ends, the program goes with it (left running, it would hold the
    # test's output open), and a command that failed is named.
    trap '[ -z "$pid" ] || kill -9 "$pid" 2>/dev/null; [ -z "$weston" ] || kill "$weston" 2>/dev/null
        [ -z "$xserver" ] || { kill "$xserver" && wait "$xserver"; } 2>/dev/null' EXIT
    trap 'echo "e2e-tuner.sh: line $LINENO: $BASH_COMMAND failed" >&2' ERR
    # The campaign's own functions (fault-campaign.sh, which starts this).
    # shellcheck source=/dev/null
    [ "$mode" != campaign ] || source "$TUNER_CAMPAIGN"
    # A virtual X server of the run's own, on a display number it takes itself once free:
    # runs at the same time never race for one.
    screen="$((1024 * ${GDK_SCALE:-1}))x$((768 * ${GDK_SCALE:-1}))x24"
    Xvfb -displayfd 3 -nolisten tcp -screen 0 "$screen" 3>"$out/display" >"$out/xvfb.log" 2>&1 &
    xserver=$!
    within 10 test -s "$out/display" || fail "the virtual X server did not start"
    export DISPLAY=":$(cat "$out/display")"
    if [ "$mode" = wayland ]; then
        # Weston's window fills the virtual screen, so a shot of the screen is one of Weston's.
        weston --backend=x11-backend.so --use-pixman --socket=tuner-e2e --width=1024 \
            --height=768 >"$out/weston.log" 2>&1 &
        weston=$!
        within 10 test -S "$XDG_RUNTIME_DIR/tuner-e2e" || fail "Weston did not start"
        launch=(env -u DISPLAY GDK_BACKEND=wayland WAYLAND_DISPLAY=tuner-e2e "$program")
    fi
    "${launch[@]}" 2>"$out/stderr.txt" &
    pid=$!

    # The window as X windows show it; under Weston (window root), the view somewhere on the screen.
    shoot() { import -window "$window" "$out/shot.png" 2>/dev/null; }
    # shellcheck disable=SC2317 # called through within
    visible() { xdotool search --onlyvisible --name '^Guitar Tuner$' 2>/dev/null | head -n1; }
    found() {
        if ! kill -0 "$pid" 2>/dev/null; then
            wait "$pid" && status=0 || status=$?
            pid=""
            tail -n 5 "$out/stderr.txt" "$out/xvfb.log" >&2
            fail "the program ended with status $status before showing its window"
        fi
        if [ "$mode" = wayland ]; then window=root; view; else window="$(visible)"; [ -n "$window" ]; fi
    }
    height() { xdotool getwindowgeometry --shell "$window" | sed -n 's/^HEIGHT=//p'; }
    # Notes whether the status line shows: the window is taller than once audio flowed.
    status_seen() { if [ "$mode" != wayland ] && [ "$(height)" -gt "$base" ]; then shown=1; fi; }
    view() { shoot && "$checker" --view-only "$out/shot.png" >/dev/null; }
    # Every readout in the strike's range; 329.6 Hz for the string, and the E4 button selected.
    readouts="-"
    if [ -s "$out/range.txt" ]; then
        read -r lowest highest <"$out/range.txt"
        readouts="$(seq -s, -f %.1f "$lowest" 0.1 "$highest")"
    fi
    reading() {
        status_seen
        shoot && "$checker" "$out/shot.png" "$resources" "$readouts" 329.6 5 >/dev/null
    }
    status_gone() { [ "$(height)" -le "$base" ]; }
    # Whether the shot shows text right of the middle below the view: only the status line
    # reaches there (the check box's label is short).
    status_text() {
        local top
        shoot || return 1
        top="$("$checker" --view-only "$out/shot.png" | sed -n 's/.* at ([0-9]*, \([0-9]*\))$/\1/p')"
        [ "$checker" = true ] && return 0 # no checker (the package check without a test build)
        [ -n "$top" ] && (($(convert "$out/shot.png" -crop "400x100+300+$((top + 300))" +repage \
            -colorspace Gray -format '%[fx:minima < 0.5]' info:)))
    }
    hidden() { if [ "$mode" = wayland ]; then ! view; else [ -z "$(visible)" ]; fi; }
    # The local addresses of the sockets at the other end of the program's own.
    peers() {
        local inodes
        inodes=" $(find "/proc/$pid/fd" -lname 'socket:*' -printf '%l\n' 2>/dev/null |
            sed 's/^socket:\[\([0-9]*\)\]$/\1/' | tr '\n' ' ')"
        ss -xa | awk -v mine="$inodes" 'index(mine, " " $8 " ") { print $5 }'
    }

    within 10 found || fail "no window within 10 s"
    case "$mode" in
    nodevice)
        within 5 view || fail "the window does not show the view"
        within 5 status_text || fail "no status line while there is no sound device"
        # Tuner menu, then its first item: "Show Tuner Window" (checked) hides the window.
        xdotool mousemove --window "$window" 20 10 click 1
        sleep 0.5
        xdotool key Down Return
        within 2 hidden || fail "the menu did not hide the window"
        timeout 10 "$program" 2>"$out/second-stderr.txt" ||
            fail "the second launch failed or did not end"
        within 5 found || fail "the second launch did not bring the window back"
        within 5 view || fail "the window brought back does not show the view"
        ;;
    paced | pipewire | jack | campaign)
        base=100000 # the window's height without the status line, once audio flows
        within 12 reading || fail "no E4 reading within 12 s of the window"
        base="$(height)"
        [ -n "$base" ] || fail "no window height"
        cp "$out/shot.png" "$out/settled.png"
        # Launch to reading, from the process's start time (in clock ticks since boot).
        printf 'first reading %.2f s after launch\n' "$(echo "$(cut -d' ' -f1 /proc/uptime) - \
            $(cut -d' ' -f22 "/proc/$pid/stat") / $(getconf CLK_TCK)" | bc -l)" |
            tee -a "$out/results.txt"
        [ "$mode" != campaign ] || campaign
        if [ "$mode" = jack ]; then
            within 5 jack_connected || fail "jack_lsp does not show guitar-tuner:in connected"
            ticks() { cut -d' ' -f14,15 "/proc/$pid/stat" | tr ' ' +; }
            before="$(ticks)"
            sleep 5
            printf 'CPU while tuning: %.1f %% of a core\n' "$(echo "($(ticks) - ($before)) * 100 / \
                (5 * $(getconf CLK_TCK))" | bc -l)" | tee -a "$out/results.txt"
        fi
        # The sound server or the JACK server (and its player) taken down and brought back:
        # stopped and started, hung and going on (SIGSTOP), the default source suspended.
        server() {
            case "$mode:$1" in
            jack:stop) jack_down ;;
            jack:start) jack_up ;;
            *:suspend) pactl suspend-source "$(pactl get-default-source)" 1 ;;
            *:resume) pactl suspend-source "$(pactl get-default-source)" 0 ;;
            *) "$support/pipewire-session.sh" "$1" ;;
            esac
        }
        declare -A restore=([stop]=start [freeze]=thaw [suspend]=resume)
        for step in "$@"; do
            IFS=: read -r side fault value <<<"$step"
            shown=0 expect_shown=0 resumed=""
            case "$side:$fault" in
            # Last, on for Ctrl+Q: the server down or hung, or a fault of the paced devices.
            quit:server) server "${value/down/stop}" ;;
            quit:*) "$support/paced-fault.sh" "$TUNER_PACED_FOLDER" "$fault" ${value//:/ } >/dev/null ;;
            # The server's buffer size changed while it runs (jack mode).
            server:period) jack_bufsize "$value" >/dev/null ;;
            program:stop)
                # The tuner stopped (SIGSTOP) for VALUE s: its cycles missed, frames lost.
                kill -STOP "$pid"
                sleep "$value"
                kill -CONT "$pid"
                ;;
            server:default | server:remove)
                # The tuner must say within a second that it moved, and then read the new
                # source (what showed before it moved does not count).
                moves="$(grep -c "Now listening to" "$out/stderr.txt" || true)"
                if [ "$fault" = remove ]; then
                    # The source's own module first: the one it stands on takes it along.
                    for module in $(pactl list short modules | sort -rn |
                        awk -v name="$value" '$0 ~ "(sink|source)_name=" name "(-in)?( |$)" { print $1 }'); do
                        pactl unload-module "$module" || fail "$step: pactl failed"
                    done
                    [ "$value" = guitar ] && value=guitar-2 || value=guitar
                fi
                pactl set-default-source "$value" || fail "$step: pactl failed"
                resumed="$EPOCHREALTIME"
                moved() { (($(grep -c "Now listening to" "$out/stderr.txt") > moves)); }
                within 1 moved || fail "$step: the tuner did not move to the new default"
                printf '%s: moved %.2f s after pactl\n' "$step" "$(since "$resumed")" |
                    tee -a "$out/results.txt"
                ;;
            server:*)
                # Down, hung or suspended for VALUE s; on a rate step down for 2 s, and the
                # strike made at the new rate meanwhile.
                [ "$fault" != pulse ] ||
                    printf 'pcm.!default { type pulse }\nctl.!default { type pulse }\n' >"$HOME/.asoundrc"
                action="$fault"
                [ -n "${restore[$fault]:-}" ] || action=stop
                server "$action"
                down="$(now)"
                [ "$fault" != rate ] || { TUNER_JACK_RATE="$value"; jack_strike; value=2; }
                back_at=$((down + $(micros "$value")))
                # Nothing shown as heard from 1.2 s after audio stopped (the tuner's bound for
                # a device that stands still, and a frame) until it comes back, at every look.
                sleep 1.2
                until (($(now) >= back_at)); do
                    ! reading || fail "$step: the reading stayed as if heard while the server was down"
                done
                expect_shown=1
                server "${restore[$action]}"
                ;;
            esac
            [ "$side" != quit ] || { quitting=1; continue; }
            resumed="${resumed:-$EPOCHREALTIME}"
            # By the end of the second whole strike after audio resumed: the rest of the
            # strike that was playing, then two strikes (a strike's reading settles within it).
            # On a sound server one more: there the first strike after a restart or a move is
            # misread more often than the strike delivered evenly would be. And one more after
            # a move to a source the tuner has not heard before (the default's change): the
            # guitar's channel there is found by the first attack once the stream has run for
            # a moment, and the strike taken so may be misread.
            strikes=2
            [ "$mode" != pipewire ] || strikes=3
            [ "$fault" != default ] || strikes=4
            within "$(echo "$strikes * 2.5 + 2.5" | bc)" reading ||
                fail "$step: no E4 reading within $strikes strikes of audio resuming"
            took="$(since "$resumed")"
            cp "$out/shot.png" "$out/after-${step//:/-}.png"
            within 2 status_gone || fail "$step: the status line stayed after audio came back"
            [ "$mode" != jack ] || jack_connected || fail "$step: the tuner did not connect its port again"
            [ "$fault" != pulse ] || grep -q -- '-> ALSA plug-in \[guitar-tuner\]:input' "$out/server.log" ||
                fail "$step: the tuner's stream did not come through the Pulse plugin"
            [ "$shown" = "$expect_shown" ] ||
                fail "$step: the status line showed: $shown, expected: $expect_shown"
            printf '%s: reading back %.2f s after audio resumed; status line shown: %s\n' \
                "$step" "$took" "$shown" | tee -a "$out/results.txt"
        done
        [ -z "${quitting:-}" ] || sleep 1.5
        ;;
    wayland)
        within 12 reading || fail "no E4 reading within 12 s of the window"
        cp "$out/shot.png" "$out/settled.png"
        peers >"$out/peers.txt"
        grep -qxF "$XDG_RUNTIME_DIR/tuner-e2e" "$out/peers.txt" ||
            fail "the program is not connected to Weston"
        ! grep -q X11-unix "$out/peers.txt" || fail "the program has a connection to the X server of its own"
        # The close button, at the right end of the title bar that GTK draws above the menu (the
        # window as wide as the view while no status line shows).
        # Weston's X11 backend moves its pointer by the X pointer's moves, not to its place:
        # both go to the top left corner first.
        read -r left top < <("$checker" --view-only "$out/shot.png" |
            sed -n 's/.* at (\([0-9]*\), \([0-9]*\))$/\1 \2/p')
        xdotool mousemove 1023 767 sleep 0.1 mousemove 0 0 sleep 0.1 \
            mousemove $((left + 681)) $((top - 46)) sleep 0.1 click 1
        within 2 hidden || fail "closing did not hide the window"
        timeout 10 "${launch[@]}" 2>"$out/second-stderr.txt" ||
            fail "the second launch failed or did not end"
        within 5 found || fail "the second launch did not bring the window back"
        cp "$out/shot.png" "$out/relaunched.png"
        ;;
    esac

    # The device reports, once the program has tried the devices.
    case "$mode" in
    nodevice) expected=("Input Device:" "Output Device:" "Error - no default input device") ;;
    jack)
        expected=("Input Device:" "LATENCY REPORT:" "JACK: client guitar-tuner on the server"
            "Error - the JACK server is not running; the tuner starts when it runs again.")
        ;;
    *) expected=("Input Device:" "Output Device:" "LATENCY REPORT:" "latency in seconds:") ;;
    esac
    IFS='|' read -r -a more <<<"${TUNER_E2E_EXPECT:-}"
    for text in "${expected[@]}" "${more[@]}"; do
        within 5 grep -qF -- "$text" "$out/stderr.txt" || fail "not on the standard error stream: $text"
    done

    # No window manager under X: give the window the keyboard, then press the keys for real.
    # Weston must have given the window brought back the keyboard itself.
    [ "$mode" = wayland ] || timeout 5 xdotool windowfocus --sync "$window" || fail "the window took no focus"
    # A sanitizer's build ends with its leak scan, which the user's program does not have.
    quit_limit="${TUNER_E2E_QUIT_LIMIT:-0.5}"
    # shellcheck disable=SC2317 # called through within
    ended() { ! kill -0 "$pid" 2>/dev/null; }
    pressed="$(now)"
    xdotool key --clearmodifiers ctrl+q
    # Polled finely, and a while past the limit, so that a failure says how long it took.
    every=0.01 within 5 ended || fail "Ctrl+Q did not end the program within 5 s"
    took="$(printf %.3f "$(echo "scale=3; ($(now) - $pressed) / 1000000" | bc)")"
    (($(echo "$took <= $quit_limit" | bc))) ||
        fail "Ctrl+Q did not end the program within $quit_limit s: it took $took s"
    wait "$pid" || fail "the program ended with status $?"
    pid=""
    printf 'Ctrl+Q ended the program in %.2f s\n' "$took" | tee -a "$out/results.txt"
    # The audio libraries' own complaints never reach the user's standard error; the
    # program's own lines about JACK, which spell it so, may.
    # (sed reads them all, so that no pipe breaks: the first three are shown.)
    ! grep -E "Expression '|ALSA lib|[Jj]ack|Cannot connect to server" "$out/stderr.txt" |
        grep -v -e JACK -e "going between Jack" | sed -n 1,3p >&2 ||
        fail "the audio libraries wrote to the standard error stream"
    # Nor do GTK's warnings, or a Wayland protocol error.
    ! cat "$out"/*stderr.txt | grep -E "Gtk-|Gdk-|GLib-|[Ww]ayland|wl_" ||
        fail "GTK or Wayland wrote to the standard error stream"
    # What the tuner cost the server's cycle, as the program says when it leaves.
    grep -h "longest process cycle" "$out/stderr.txt" | tee -a "$out/results.txt" || true
    exit 0
fi

# Skipped (77) where what a mode runs on is not installed.
declare -A needs=([jack]="jackd sndfile-jackplay" [wayland]=weston)
for tool in ${needs[$mode]:-}; do
    command -v "$tool" >/dev/null ||
        { echo "$tool is not installed (bash tools/install-deps.sh installs it); skipped" >&2; exit 77; }
done
rm -rf "$out"
mkdir -p "$out"
# A home of its own: no user settings, no desktop services but the ones started here.
home="$(mktemp -d "${TMPDIR:-/tmp}/tuner-e2e-home-XXXXXX")"
trap 'rm -rf "$home"' EXIT
export HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_DATA_HOME="$home/.local/share"
export XDG_RUNTIME_DIR="$home/run" NO_AT_BRIDGE=1 GDK_BACKEND=x11
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
unset DBUS_SESSION_BUS_ADDRESS
: >"$home/no-devices.conf" # an ALSA without devices, for the modes that have it
# One strike of the recording, as the paced devices loop it, and the range of its readouts:
# two strikes, the first as a tuner just started hears it, the second as every later one.
# (The notes the analysis misreads by design glide up from far below at full strength, out of
# tune: without --in-tune the range of this strike starts near 287 Hz.)
# The range takes seconds (more under a sanitizer): it is kept beside OUT_DIR for the runs
# after, under the strike's and tuner-replay's checksum.
# With TUNER_E2E_HUM=1 the strikes are on the second channel and the first carries mains hum
# (50 Hz with its third harmonic, above the strike's tail, below its attack): the tuner must
# find the guitar on its own and say so once ("Listening to input channel 2 of 2.").
strike() {
    local replay raw=(-t raw -e floating-point -b 32 -r 44100)
    sox "$input" "${raw[@]}" -c 1 "$out/strike1.raw" trim 0 109912s remix 1
    if [ "${TUNER_E2E_HUM:-}" = 1 ]; then
        sox -r 44100 -n "${raw[@]}" -c 1 "$out/hum.raw" synth 109912s sine 50 sine 150 remix 1v0.04,2v0.015
        sox -M "${raw[@]}" -c 1 "$out/hum.raw" "${raw[@]}" -c 1 "$out/strike1.raw" "$out/strike.raw"
    else
        sox "${raw[@]}" -c 1 "$out/strike1.raw" "$out/strike.raw" remix 1 1
    fi
    sox "${raw[@]}" -c 1 "$out/strike1.raw" "$out/strikes.wav" repeat 1
    replay="$(command -v "${TUNER_REPLAY:-tuner-replay}")" || { echo "no tuner-replay" >&2; exit 1; }
    range range.txt --in-tune
    [ "$mode" != campaign ] || range range-shown.txt
}
# range FILE [--in-tune]: the strikes' range of readouts (in tune or all shown) into OUT_DIR/FILE.
range() {
    local cached
    cached="$(dirname "$out")/$1-$(cat "$out/strikes.wav" "$replay" | sha256sum | cut -c1-16)"
    if ! [ -s "$cached" ]; then
        "$replay" --range ${2:-} "$out/strikes.wav" >"$cached.$$" ||
            { rm -f "$cached.$$"; echo "no range of readouts from tuner-replay" >&2; exit 1; }
        mv "$cached.$$" "$cached"
    fi
    cp "$cached" "$out/$1"
}
case "$mode" in
paced | campaign | wayland)
    # The note struck every 109912 frames (2.49 s). The analysis misreads some strikes by
    # design (the first reading after the attack picks a wrong string), depending on where
    # the analysis windows fall; replayed from every offset, this loop of the E4 note never
    # has two misread strikes in a row, so that a reading shows within two strikes.
    # Under Weston on a session bus of its own.
    strike
    bus=()
    [ "$mode" != wayland ] || bus=(dbus-run-session --)
    "$support/paced-alsa.sh" --loop "$out/strike.raw" -- "${bus[@]}" "${session[@]}"
    ;;
pipewire)
    strike # the same strike, resampled by the server
    read -r -a options <<<"${TUNER_E2E_SESSION:-}"
    "$support/pipewire-session.sh" --log "$out/server.log" "${options[@]}" "$input" -- "${session[@]}"
    ;;
jack)
    seed="${TUNER_E2E_SEED:-$RANDOM}"
    RANDOM="$seed"
    export TUNER_JACK_RATE="${TUNER_JACK_RATE:-48000}"
    export TUNER_JACK_PERIOD="${TUNER_JACK_PERIOD:-$((64 + RANDOM % 1985))}"
    echo "JACK at $TUNER_JACK_RATE Hz, $TUNER_JACK_PERIOD frames a period (seed $seed)" |
        tee "$out/results.txt"
    strike # the same strike, at the server's rate
    jack_strike
    # No ALSA device, as while the server holds the card; a server of the run's own.
    export ALSA_CONFIG_PATH="$home/no-devices.conf" JACK_NO_AUDIO_RESERVATION=1
    export JACK_DEFAULT_SERVER="tuner-e2e-$$"
    trap 'jack_down; rm -rf "$home"' EXIT
    jack_up || { echo "jackd did not start; its log:" >&2; cat "$out/jackd.log" >&2; exit 1; }
    # The user connects the player to the tuner once the tuner's port is there.
    within 15 jack_connect jackplay:out_1 guitar-tuner:in 2>/dev/null &
    "${session[@]}"
    ;;
nodevice)
    ALSA_CONFIG_PATH="$home/no-devices.conf" dbus-run-session -- "${session[@]}"
    ;;
*)
    echo "usage: e2e-tuner.sh paced|campaign|pipewire|wayland|jack|nodevice PROGRAM TEST_AUDIO_DIR" \
        "CHECKER RESOURCES INPUT OUT_DIR [STEP...]" >&2
    exit 2
    ;;
esac
