#!/usr/bin/env bash
# Installs every Debian package the tuner needs to build, run and test. Run as root.
set -euo pipefail
packages=(
    build-essential cmake pkg-config git
    libgtest-dev libgmock-dev libbenchmark-dev
    libpng-dev libgtk-3-dev portaudio19-dev libasound2-dev libsndfile1-dev
    libjack-jackd2-dev libsamplerate0-dev jackd2 sndfile-tools pipewire-jack
    xvfb xauth x11-apps x11-utils xdotool imagemagick dbus weston
    sox flac bc iproute2 procps
    pipewire pipewire-bin wireplumber pipewire-alsa pipewire-pulse pulseaudio-utils libasound2-plugins
    desktop-file-utils appstream
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
