#!/usr/bin/env bash
# Installs every Debian package the tuner needs to build, run and test. Run as root.
set -euo pipefail
packages=(
    build-essential cmake pkg-config git
    libgtest-dev libgmock-dev libbenchmark-dev
    libpng-dev libgtk-3-dev portaudio19-dev libasound2-dev libsndfile1-dev
    libpulse-dev libjack-jackd2-dev libsamplerate0-dev jackd2 sndfile-tools pipewire-jack
    xvfb xauth x11-apps x11-utils xdotool imagemagick dbus weston
    sox flac bc iproute2 procps
    pipewire pipewire-bin wireplumber pipewire-alsa pipewire-pulse pulseaudio-utils libasound2-plugins
    desktop-file-utils appstream
    # what the PulseAudio daemon below needs beside the libraries above
    libtdb1 libspeexdsp1 libwrap0 libfftw3-single3 libltdl7 libsoxr0 liborc-0.4-0 libsndfile1
)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# A real PulseAudio daemon for the tests (tools/test-audio/pipewire-session.sh --pulseaudio).
# Debian's package conflicts with pipewire-alsa, which the other tests need, so it is
# unpacked into a folder of its own rather than installed; its libraries are above.
pulseaudio_root=/opt/tuner-test/pulseaudio
if [ ! -x "$pulseaudio_root/usr/bin/pulseaudio" ]; then
    download="$(mktemp -d)"
    (cd "$download" && apt-get download -qq pulseaudio 2>/dev/null ||
        { apt-get update -qq && apt-get download -qq pulseaudio; })
    mkdir -p "$pulseaudio_root"
    dpkg -x "$download"/pulseaudio_*.deb "$pulseaudio_root"
    rm -rf "$download"
fi
