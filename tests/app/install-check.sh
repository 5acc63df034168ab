#!/usr/bin/env bash
# Installs the build into a fresh prefix and checks what a desktop needs of it: the
# programs and their manual pages, the tuner's resources where the installed program
# finds them, the desktop entry, the AppStream metainfo and the icons, and that the
# validators accept the two files.
#
#   install-check.sh BUILD_DIR APP_ID
set -euo pipefail
build="$1"
id="$2"
prefix="$(mktemp -d "${TMPDIR:-/tmp}/tuner-install-XXXXXX")"
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null

fail=0
need() {
    if [ ! -e "$prefix/$1" ]; then
        echo "missing after install: $1" >&2
        fail=1
    fi
}
need bin/guitar-tuner
need bin/tuner-replay
need share/man/man1/guitar-tuner.1
need share/man/man1/tuner-replay.1
for image in TOOLOW n0 n1 n2 n3 n4 n5 n6 n7 n8 n9 dot E2 A2 D3 G3 B3 E4; do
    for scale in "" @2x @3x; do need "share/guitar-tuner/$image$scale.png"; done
done
need share/guitar-tuner/MainMenu.ui
need "share/applications/$id.desktop"
need "share/metainfo/$id.metainfo.xml"
need "share/icons/hicolor/scalable/apps/$id.svg"
for size in 48 128 256; do
    need "share/icons/hicolor/${size}x${size}/apps/$id.png"
done
[ "$fail" = 0 ] || exit 1

grep -q '^Categories=AudioVideo;Audio;$' "$prefix/share/applications/$id.desktop" ||
    { echo "the desktop entry lacks Categories=AudioVideo;Audio;" >&2; exit 1; }
desktop-file-validate "$prefix/share/applications/$id.desktop"
appstreamcli validate --no-net "$prefix/share/metainfo/$id.metainfo.xml"
grep -q '<screenshot' "$prefix/share/metainfo/$id.metainfo.xml" ||
    { echo "the metainfo has no screenshot" >&2; exit 1; }
echo "installed and validated under $prefix"
