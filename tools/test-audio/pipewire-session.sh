#!/usr/bin/env bash
# Runs a command inside a private user-mode PipeWire session, the desktop-like way to the
# tuner's sound: ALSA's default devices (pipewire-alsa) lead to a PipeWire server whose
# default source is a virtual source named "guitar" playing INPUT, its first 2.49 s
# repeated, so the note is struck again every 2.49 s (109912 frames at 44.1 kHz, see
# tests/app/e2e-tuner.sh). Everything started here ends with
# the command, also when the command fails or on Ctrl+C.
#
#   pipewire-session.sh [--log FILE] [OPTIONS] INPUT -- COMMAND [ARGUMENTS...]
#
# OPTIONS shape the sources (described as "Guitar interface" and "Second interface"):
#   --channels N   the guitar source has N channels (1-32); other than 2, or with --strike or
#                  --hum, in the pro-audio layout (aux0, aux1, ...), the strike on one channel
#   --strike K     the strike on channel K (from 1; 1 by default), the others silent
#   --hum H        50 Hz hum (a tenth of full scale) on channel H
#   --second N     a second source "guitar-2" of N channels in the pro-audio layout, the
#                  strike on its last, for the default to be switched to (pactl set-default-source)
#   --pulseaudio   a real PulseAudio daemon serves instead (no ALSA default device leads to
#                  it), unpacked by tools/install-deps.sh into TUNER_PULSEAUDIO_ROOT
#                  (/opt/tuner-test/pulseaudio by default)
# Exits 77 where the servers are not installed.
#
# From inside COMMAND, the sound server can be stopped and started again while the command
# runs; each call returns once done (start: once audio flows into the source
# again, the source being the default; after a stop, once the source's listeners found it
# again, within 3 s):
#
#   pipewire-session.sh stop | start
#   pipewire-session.sh freeze | thaw     (the servers stopped with SIGSTOP: hung; and on)
#
# FILE (standard error if not given) gets one line an event, "SECONDS EVENT [DETAILS]", the
# seconds of the system clock (date +%s.%N): server-start, server-up, audio-flowing,
# server-stop, server-down, and each link made (+) or removed (-) between two ports, such
# as the tuner's capture being linked to the source. The command gets XDG_RUNTIME_DIR,
# PIPEWIRE_RUNTIME_DIR, PULSE_SERVER and DBUS_SESSION_BUS_ADDRESS of the session, and
# PIPEWIRE_SESSION_CONTROL for the calls above; PIPEWIRE_RUNTIME_DIR and PULSE_SERVER
# still lead there if the command moves XDG_RUNTIME_DIR. The command's exit status is the
# script's.
set -euo pipefail

usage() {
    echo "usage: pipewire-session.sh [--log FILE] [--channels N] [--strike K] [--hum H]" \
        "[--second N] [--pulseaudio] INPUT -- COMMAND [ARGUMENTS...]" >&2
    echo "       pipewire-session.sh stop | start | freeze | thaw" >&2
    exit 2
}

# A call from inside the command: hand the request to the session and wait for its answer.
case "${1:-}" in
stop | start | freeze | thaw)
    [ -n "${PIPEWIRE_SESSION_CONTROL:-}" ] || { echo "pipewire-session.sh $1: not inside a session" >&2; exit 2; }
    reply="$(mktemp -u "${PIPEWIRE_SESSION_CONTROL%/*}/reply-XXXXXX")"
    mkfifo "$reply"
    exec {reply_fd}<>"$reply"
    echo "$1 $reply" >"$PIPEWIRE_SESSION_CONTROL"
    answer="no answer within 30 s"
    read -r -t 30 -u "$reply_fd" answer || true
    rm -f "$reply"
    [ "$answer" = ok ] || { echo "pipewire-session.sh $1: $answer" >&2; exit 1; }
    exit 0
    ;;
esac

log=/dev/stderr channels=2 strike_channel="" hum_channel="" second=0 pulseaudio=0
declare -A option=([--log]=log [--channels]=channels [--strike]=strike_channel [--hum]=hum_channel
    [--second]=second)
while [ "$#" -gt 0 ]; do
    case "$1" in
    --log | --channels | --strike | --hum | --second) printf -v "${option[$1]}" %s "${2:?}"; shift 2 ;;
    --pulseaudio) pulseaudio=1; shift ;;
    *) break ;;
    esac
done
pa_root="${TUNER_PULSEAUDIO_ROOT:-/opt/tuner-test/pulseaudio}"
pa_modules="$(echo "$pa_root"/usr/lib/pulse-*/modules)"
if [ "$pulseaudio" = 1 ] && [ ! -x "$pa_root/usr/bin/pulseaudio" ]; then
    echo "PulseAudio is not unpacked in $pa_root (bash tools/install-deps.sh does it); skipped" >&2
    exit 77
elif [ "$pulseaudio" = 0 ] && ! { command -v pipewire && command -v wireplumber &&
    command -v pipewire-pulse; } >/dev/null; then
    echo "PipeWire is not installed (bash tools/install-deps.sh installs it); skipped" >&2
    exit 77
fi
{ [ "$#" -ge 3 ] && [ "$2" = "--" ]; } || usage
input="$1"
shift 2

folder="$(mktemp -d "${TMPDIR:-/tmp}/tuner-pipewire-XXXXXX")" # only its owner may enter (mktemp -d)
run="$folder/run"
mkdir -m 700 "$run"
[ "$log" = /dev/stderr ] || : >"$log"
servers_log="$folder/servers.log"

# Never written: reading it with a time-out is a pause without a child process.
mkfifo "$folder/idle"
exec {idle_fd}<>"$folder/idle"
pause() { read -r -t "$1" -u "$idle_fd" || true; }

event() { echo "$EPOCHREALTIME $*" >>"$log"; }

# wait_until SECONDS WHAT COMMAND...: runs COMMAND every 20 ms until it succeeds; if it does not
# within SECONDS of tries, fails, and says "WHAT within SECONDS s" unless WHAT is empty.
wait_until() {
    local seconds="$1" what="$2" tries
    shift 2
    for ((tries = seconds * 50; tries > 0; tries--)); do
        "$@" >/dev/null 2>&1 && return 0
        pause 0.02
    done
    [ -z "$what" ] || echo "pipewire-session.sh: $what within $seconds s" >&2
    return 1
}

# end_processes SIGNAL PID...: signals them and waits for them; KILL after 3 s.
end_processes() {
    local signal="$1" watchdog
    shift
    [ "$#" -gt 0 ] || return 0
    kill -s "$signal" "$@" 2>/dev/null || true
    (read -r -t 3 -u "$idle_fd" || kill -s KILL "$@" 2>/dev/null) &
    watchdog=$!
    wait "$@" 2>/dev/null || true
    kill "$watchdog" 2>/dev/null || true
    wait "$watchdog" 2>/dev/null || true
}

supervisor="" command=""
cleanup() {
    [ -z "$command" ] || end_processes TERM "$command"
    # (Both run whatever the first does: errexit holds nowhere left of the last ||.)
    [ -z "$supervisor" ] || { kill -s TERM "$supervisor"; wait "$supervisor"; } 2>/dev/null || true
    rm -rf "$folder"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The loop played into the source: the first strike of INPUT, padded if shorter, at the
# server's rate, on both channels or on one (with hum on another, if asked) in the
# pro-audio layout.
strike=2.492335601 # seconds
sox -V1 "$input" -c 1 -r 48000 -b 16 "$folder/strike.wav" trim 0 "$strike" pad 0 "$strike" \
    trim 0 "$strike"
# PipeWire's names of a map's channels, as its ports carry them: FL FR, or AUX0 AUX1 ...
port_names() { local m="${1//front-left/FL}"; m="${m//front-right/FR}"; echo "${m^^}"; }
# loop_of N CHANNELS FILE: the strike on each of CHANNELS (from 1), hum on hum_channel.
loop_of() {
    local n="$1" on=" $2 " file="$3" parts=() keep=() c
    for ((c = 1; c <= n; c++)); do
        keep+=(0) # the channels of FILE.lead: the hum alone
        if [[ "$on" == *" $c "* ]]; then
            parts+=("$folder/strike.wav")
        elif [ "$c" = "$hum_channel" ] && [ "$file" = "$folder/loop.wav" ]; then
            parts+=("|sox -V1 -n -r 48000 -b 16 -c 1 -p synth $strike sine 50 vol 0.1")
            keep[c - 1]="$c"
        else
            parts+=("|sox -V1 -n -r 48000 -b 16 -c 1 -p trim 0 $strike")
        fi
    done
    if [ "$n" = 1 ]; then
        cp "${parts[0]}" "$file"
    else
        sox -V1 -D -M "${parts[@]}" -b 16 "$file"
    fi
    sox -V1 "$file" -t raw "$file.lead" trim 0 0.1 remix "${keep[@]}"
}
# feed FILE: FILE's hum alone (FILE.lead, 0.1 s: whole cycles), until the strike is due, then
# FILE repeated, as raw samples on the standard output.
feed() {
    while [ ! -e "$folder/strike-due" ]; do cat "$1.lead"; done
    sox -V1 "$1" -t raw - repeat -
}
aux_map() { local c list=(); for ((c = 0; c < $1; c++)); do list+=("aux$c"); done; IFS=,; echo "${list[*]}"; }
map=front-left,front-right on="1 2"
if [ "$channels" != 2 ] || [ -n "$strike_channel$hum_channel" ]; then
    map="$(aux_map "$channels")" on="${strike_channel:-1}"
fi
loop_of "$channels" "$on" "$folder/loop.wav"
# Each source: "NAME CHANNELS MAP LOOP DESCRIPTION", LOOP in the session's folder.
sources=("guitar $channels $map loop.wav Guitar interface")
if [ "$second" -gt 0 ]; then
    loop_of "$second" "$second" "$folder/loop-2.wav"
    sources+=("guitar-2 $second $(aux_map "$second") loop-2.wav Second interface")
fi

export XDG_RUNTIME_DIR="$run" PIPEWIRE_RUNTIME_DIR="$run" PULSE_SERVER="unix:$run/pulse/native"
export DBUS_SESSION_BUS_ADDRESS="unix:path=$run/bus"
export PIPEWIRE_SESSION_CONTROL="$folder/control"
mkfifo "$PIPEWIRE_SESSION_CONTROL"

# The session bus and the sound server belong to this background shell, which serves the
# requests of the command.
supervise() {
    # The servers keep no state from outside the session, and leave none behind.
    export XDG_CONFIG_HOME="$folder/config" XDG_STATE_HOME="$folder/state"
    local servers=() player=() bus request reply listened=0 entry name n m file description daemon_up=0 started
    exec {control_fd}<>"$PIPEWIRE_SESSION_CONTROL"
    # serve COMMAND...: a server of the session, in the background, its output in the servers' log
    # (its standard input the caller's: a background command's would be /dev/null).
    serve() { "$@" <&0 >>"$servers_log" 2>&1 & servers+=($!); }

    # What the two servers do their own way: start, make a source, play into it (one player
    # for each source, NAME-player: its loop repeated into a pipe and played), and tell whether
    # the players run and whether anyone listens to the source.
    if [ "$pulseaudio" = 1 ]; then
        start_daemon() {
            serve env LD_LIBRARY_PATH="$(echo "$pa_root"/usr/lib/*/pulseaudio):$pa_modules" HOME="$folder" \
                "$pa_root/usr/bin/pulseaudio" -n --daemonize=no --use-pid-file=no \
                --exit-idle-time=-1 --realtime=no --high-priority=no --log-target=stderr \
                --dl-search-path="$pa_modules" -L module-native-protocol-unix \
                -L "module-null-sink sink_name=out"
            wait_until 5 "no PulseAudio" pactl info || return 1
            # A null sink sleeps for as long as its clients allow, and a stream that comes
            # meanwhile waits for it (2 s when none asked for less): silence played at a
            # small latency keeps it awake as a sound card's period would, as do the players
            # below. Its first sleep, from its start, is 2 s all the same (start_server
            # waits it out).
            daemon_up="$EPOCHREALTIME"
            serve pacat --playback --raw --latency-msec=20 --client-name=keeper -d out </dev/zero
            event server-up
        }
        # make_source NAME CHANNELS MAP DESCRIPTION: a null sink played into, and a source of
        # its own over the sink's monitor.
        make_source() {
            pactl load-module module-null-sink sink_name="$1-in" channels="$2" channel_map="$3" \
                >/dev/null &&
                pactl load-module module-remap-source source_name="$1" master="$1-in.monitor" \
                    channels="$2" channel_map="$3" "source_properties='device.description=\"$4\"'" \
                    >/dev/null
        }
        play() {
            feed "$folder/$file" >"$folder/$name.pipe" &
            player+=($!)
            pacat --playback --raw --format=s16le --rate=48000 --channels="$n" --channel-map="$m" \
                --latency-msec=100 --client-name="$name-player" -d "$name-in" <"$folder/$name.pipe" \
                >>"$servers_log" 2>&1 &
            player+=($!)
        }
        player_running() {
            [ "$(pactl list sink-inputs | grep -c 'application.name = ".*-player"')" = "${#sources[@]}" ]
        }
        # A client's recording (not the remapping modules') that takes sound.
        source_listened() {
            pactl list source-outputs 2>/dev/null | awk '/^Source Output/ { client = 0 }
                /Driver: protocol-native.c/ { client = 1 } client && /Corked: no/ { found = 1 }
                END { exit !found }'
        }
    else
        start_daemon() {
            serve pipewire
            wait_until 5 "no PipeWire server" pw-cli info 0 || return 1
            # The session manager (which links streams and keeps the defaults) and the Pulse
            # protocol, through which the source is made.
            serve wireplumber
            serve pipewire-pulse
            wait_until 5 "no pipewire-pulse" pactl info || return 1
            event server-up
            pw-link --monitor --links 2>/dev/null | while read -r change link; do
                [[ "$link" == *" -> "* ]] && event "$change" "$link"
            done &
            servers+=($!)
        }
        make_source() {
            pactl load-module module-null-sink media.class=Audio/Source/Virtual sink_name="$1" \
                channels="$2" channel_map="$3" device.description="\"$4\"" >/dev/null
        }
        play() {
            feed "$folder/$file" | sox -t raw -e signed -b 16 -r 48000 -c "$n" - -t wav \
                "$folder/$name.pipe" 2>/dev/null &
            player+=($!)
            pw-play --target 0 --channel-map "$(port_names "$m")" -P "{ node.name = \"$name-player\" }" \
                "$folder/$name.pipe" >>"$servers_log" 2>&1 &
            player+=($!)
        }
        player_running() { pw-cli info guitar-player | grep -q 'state: "running"'; }
        source_listened() {
            pw-link -l -o 2>/dev/null | grep -A1 -E "^guitar:capture_(FL|AUX0)$" | grep -q -- "|->"
        }
    fi
    # The players' ports linked to their sources' (PipeWire).
    player_linked() {
        local channel
        for entry in "${sources[@]}"; do
            read -r name n m file description <<<"$entry"
            for channel in $(port_names "$m" | tr , ' '); do
                pw-link -l -o "$name-player" | grep -q "$name:input_$channel" ||
                    pw-link "$name-player:output_$channel" "$name:input_$channel" || return 1
            done
        done
    }
    default_source_is_guitar() { pactl set-default-source guitar && [ "$(pactl get-default-source)" = guitar ]; }
    default_sink_exists() { [ "$(pactl get-default-sink)" != "@DEFAULT_SINK@" ]; }
    start_server() {
        event server-start
        start_daemon || return 1
        for entry in "${sources[@]}"; do
            read -r name n m file description <<<"$entry"
            make_source "$name" "$n" "$m" "$description" || return 1
        done
        wait_until 5 "the guitar source not the default" default_source_is_guitar || return 1
        # Without a sound card the session manager puts a sink of its own as the default.
        wait_until 5 "no default sink" default_sink_exists || return 1
        # PulseAudio's null sink's first sleep waited out (none on PipeWire: daemon_up is 0).
        pause "$(echo "$daemon_up + 2.1 - $EPOCHREALTIME" | bc | sed 's/^-.*/0/')"
        # The players start at once with what a source carries between strikes (the hum), for
        # as long as the strike is not due, so that the hum does not start with a strike.
        # After a stop, the listeners the source had (the tuner) get up to 3 s to find it
        # again, and a second to settle (the tuner measures its devices for half a second
        # once both run), before the recording plays from its start: a guitarist strikes
        # again once the tuner is back, and a strike whose attack nobody heard gives no
        # reading.
        rm -f "$folder/strike-due"
        player=()
        for entry in "${sources[@]}"; do
            read -r name n m file description <<<"$entry"
            rm -f "$folder/$name.pipe" && mkfifo "$folder/$name.pipe"
            play
        done
        [ "$pulseaudio" = 1 ] ||
            wait_until 5 "the recording not linked to the guitar source" player_linked || return 1
        wait_until 5 "the recording not playing" player_running || return 1
        if [ "$listened" = 1 ]; then
            wait_until 3 "" source_listened || true
            sleep 1
        fi
        : >"$folder/strike-due"
        event audio-flowing
    }
    stop_server() {
        event server-stop
        # Frozen servers go on first: asking them who listens would wait for ever.
        kill -s CONT "${servers[@]}" 2>/dev/null || true
        listened=0
        source_listened && listened=1
        # The players first, so that they do not complain of the server; the writers of
        # their pipes end on KILL only (they wait for their readers on TERM).
        local i
        for ((i = 0; i < ${#player[@]}; i += 2)); do
            end_processes TERM "${player[i + 1]}"
            end_processes KILL "${player[i]}"
        done
        end_processes TERM "${servers[@]}"
        player=() servers=()
        event server-down
    }
    finish() {
        [ "${#servers[@]}" -eq 0 ] || stop_server
        end_processes TERM "$bus"
        exit 0
    }
    trap finish TERM
    trap '' INT # the script's own trap ends this shell

    dbus-daemon --session --nofork --nopidfile --address="$DBUS_SESSION_BUS_ADDRESS" \
        >>"$servers_log" 2>&1 &
    bus=$!
    started=failed
    wait_until 5 "no session bus" dbus-send --session --dest=org.freedesktop.DBus \
        / org.freedesktop.DBus.Peer.Ping && start_server && started=ok
    echo "$started" >"$folder/started"
    while read -r request reply <&"$control_fd"; do
        local running=$((${#servers[@]} > 0)) answer=ok
        case "$request" in
        freeze) kill -s STOP "${servers[@]}" 2>/dev/null || true; event server-freeze ;;
        thaw) kill -s CONT "${servers[@]}" 2>/dev/null || true; event server-thaw ;;
        stop) if ((running)); then stop_server; else answer="the server is not running"; fi ;;
        start) if ((running)); then answer="the server is running already"
               elif ! start_server; then stop_server; answer="the server did not start"; fi ;;
        esac
        echo "$answer" >"$reply"
    done
}

supervise &
supervisor=$!
session_settled() { test -s "$folder/started" || ! kill -0 "$supervisor" 2>/dev/null; }
wait_until 30 "the session did not start" session_settled
if [ "$(cat "$folder/started" 2>/dev/null)" != ok ]; then
    echo "pipewire-session.sh: the sound server did not start; its output:" >&2
    tail -n 30 "$servers_log" >&2
    exit 1
fi

# In the background, so that a signal to this script ends it at once; the shell would give
# a background command an empty standard input, so it gets this script's.
# (A redirection of exec itself would stay: the command's errors must still be seen.)
{ exec {input_fd}<&0; } 2>/dev/null || exec {input_fd}</dev/null
"$@" <&"$input_fd" &
command=$!
wait "$command" && status=0 || status=$?
command=""
exit "$status"
