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
# need PATH...: each under the prefix, else named as missing, and the check fails.
need() {
    local path
    for path; do [ -e "$prefix/$path" ] || { echo "missing after install: $path" >&2; fail=1; }; done
}
need bin/{guitar-tuner,tuner-replay} share/man/man1/{guitar-tuner,tuner-replay}.1 \
    share/guitar-tuner/{TOOLOW,n{0..9},dot,E2,A2,D3,G3,B3,E4}{,@2x,@3x}.png share/guitar-tuner/MainMenu.ui \
    "share/applications/$id.desktop" "share/metainfo/$id.metainfo.xml" \
    "share/icons/hicolor/scalable/apps/$id.svg" share/icons/hicolor/{48x48,128x128,256x256}/apps/"$id".png
[ "$fail" = 0 ] || exit 1

grep -q '^Categories=AudioVideo;Audio;$' "$prefix/share/applications/$id.desktop" ||
    { echo "the desktop entry lacks Categories=AudioVideo;Audio;" >&2; exit 1; }
desktop-file-validate "$prefix/share/applications/$id.desktop"
appstreamcli validate --no-net "$prefix/share/metainfo/$id.metainfo.xml"
grep -q '<screenshot' "$prefix/share/metainfo/$id.metainfo.xml" ||
    { echo "the metainfo has no screenshot" >&2; exit 1; }
echo "installed and validated under $prefix"
