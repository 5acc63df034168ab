#!/usr/bin/env bash
# Builds the Debian package, checks it with lintian, installs it system-wide and runs
# what it installed: the tuner under a virtual X server with no sound device (its window
# must come up and Ctrl+Q must end it) and tuner-replay on a recorded tone. The package
# is purged again at the end. Run as root, after tools/install-deps.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
top="$PWD"
export DEBIAN_FRONTEND=noninteractive

work="$(mktemp -d "${TMPDIR:-/tmp}/tuner-package-XXXXXX")"
installed=0
cleanup() {
    if [ "$installed" = 1 ]; then
        apt-get purge -y -qq guitar-tuner >/dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# The packaging tools, then whatever debian/control asks for that is still missing.
missing=()
for package in dpkg-dev debhelper lintian; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ]; then
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
if ! dpkg-checkbuilddeps 2>/dev/null; then
    apt-get update -qq
    apt-get build-dep -y -qq ./ >/dev/null
fi

# The package is built from a copy of the files git knows: the work tree's build folders
# stay out of it, the package build leaves nothing in the work tree, and once the copy is
# gone the installed tuner cannot find its resources in the source tree it was built from.
source="$work/guitar-tuner"
mkdir "$source"
git ls-files -z --cached --others --exclude-standard |
    tar -c --null --files-from=- --ignore-failed-read -f - 2>/dev/null | tar -x -C "$source"
echo "== Building the Debian package"
if ! (cd "$source" && DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" \
    dpkg-buildpackage -us -uc -b >"$work/build.log" 2>&1); then
    tail -n 40 "$work/build.log" >&2
    echo "the package did not build; its log is above" >&2
    exit 1
fi
rm -rf "$source"
deb=("$work"/guitar-tuner_*.deb)
changes=("$work"/guitar-tuner_*.changes)

echo "== lintian (info tags are shown, errors and warnings fail)"
status=0
lintian --display-info --fail-on error,warning "${changes[0]}" >"$work/lintian.txt" 2>&1 || status=$?
grep -v '^running with root privileges is not recommended!$' "$work/lintian.txt" || true
[ "$status" = 0 ] || { echo "lintian failed with status $status" >&2; exit 1; }

echo "== Installing $(basename "${deb[0]}")"
installed=1
apt-get install -y -qq "${deb[0]}" >/dev/null

fail=0
for path in /usr/bin/guitar-tuner /usr/bin/tuner-replay \
    /usr/share/man/man1/guitar-tuner.1.gz /usr/share/man/man1/tuner-replay.1.gz \
    /usr/share/guitar-tuner/MainMenu.ui /usr/share/guitar-tuner/n0.png \
    /usr/share/guitar-tuner/n0@2x.png /usr/share/guitar-tuner/n0@3x.png \
    /usr/share/applications/io.github.larkspin3.GuitarTuner.desktop \
    /usr/share/metainfo/io.github.larkspin3.GuitarTuner.metainfo.xml \
    /usr/share/icons/hicolor/scalable/apps/io.github.larkspin3.GuitarTuner.svg; do
    [ -e "$path" ] || { echo "not installed: $path" >&2; fail=1; }
done
[ "$fail" = 0 ] || exit 1

echo "== The installed tuner under Xvfb, no sound device"
# The run takes a few seconds; the time limit keeps a program that ends before showing
# its window from leaving the window search waiting for ever.
# The view is checked with the test build's screenshot checker where there is one.
checker="$top/build/tests/app/check-tuner-screenshot"
[ -x "$checker" ] || checker=true
timeout 60 bash "$top/tests/app/e2e-tuner.sh" nodevice /usr/bin/guitar-tuner "$top/tools/test-audio" \
    "$checker" /usr/share/guitar-tuner none "$work/tuner"
grep -qF "Error - no default input device" "$work/tuner/stderr.txt" ||
    { echo "the tuner did not report the missing input device:" >&2; cat "$work/tuner/stderr.txt" >&2; exit 1; }
# Every image, for every scale, found where the package put them.
if grep -F "Missing or unreadable images" "$work/tuner/stderr.txt" >&2; then exit 1; fi
echo "the window came up and Ctrl+Q ended the program"

echo "== The installed tuner-replay on a high E tone"
sox -n -r 44100 -c 1 -b 16 "$work/e4.wav" synth 3 sine 329.63
tuner-replay "$work/e4.wav" >"$work/e4.tsv"
# Columns 6, 8 and 9: the frequency shown, in tune, the target string (5 is E4).
if ! awk -F'\t' 'NR > 1 && $6 > 329.3 && $6 < 330.0 && $8 == 1 && $9 == 5 { found = 1 }
                 END { exit !found }' "$work/e4.tsv"; then
    echo "tuner-replay did not read the tone as an E4 in tune; its last lines:" >&2
    tail -n 5 "$work/e4.tsv" >&2
    exit 1
fi
echo "tuner-replay read the tone as E4 in tune"

apt-get purge -y -qq guitar-tuner >/dev/null
installed=0
echo "== Package check passed"
