#!/usr/bin/env bash
# `cmake --install` of a build (the first argument) into a scratch root: the
# layout under the configured prefix, nothing else, and each file valid for
# the tool that reads it (desktop-file-validate, appstreamcli, man).
set -euo pipefail
build=$1
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
id=org.orvane.Pallador
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

cmake --build "$build" --target pallador pallador_man >/dev/null
DESTDIR=$stage cmake --install "$build" >/dev/null
root=$stage$prefix

expected=(
  bin/pallador
  share/applications/$id.desktop
  share/icons/hicolor/scalable/apps/$id.svg
  share/metainfo/$id.metainfo.xml
  share/man/man1/pallador.1.gz
  lib/systemd/system/pallador.service
)
sizes=(16 24 32 48 64 128 256)
for size in "${sizes[@]}"; do expected+=("share/icons/hicolor/${size}x$size/apps/$id.png"); done

installed=$(cd "$root" && find . -type f -o -type l | sed 's|^\./||' | sort)
wanted=$(printf '%s\n' "${expected[@]}" | sort)
[ "$installed" = "$wanted" ] || fail "layout differs (< missing, > unexpected):
$(diff <(echo "$wanted") <(echo "$installed") | grep '^[<>]')"

[ -x "$root/bin/pallador" ] || fail "bin/pallador is not executable"

# Each PNG has the size of its folder (width and height from the IHDR chunk).
for size in "${sizes[@]}"; do
  png=$root/share/icons/hicolor/${size}x$size/apps/$id.png
  [ -f "$png" ] || continue
  got=$(od -An -tu1 -j16 -N8 "$png" | awk '{print $2*65536+$3*256+$4 "x" $6*65536+$7*256+$8}')
  [ "$got" = "${size}x$size" ] || fail "$id.png in ${size}x$size is $got"
done

desktop=$root/share/applications/$id.desktop
if [ -f "$desktop" ]; then
  out=$(desktop-file-validate "$desktop" 2>&1) && [ -z "$out" ] || fail "desktop-file-validate: $out"
  grep -qx "Icon=$id" "$desktop" || fail "the desktop entry names another icon"
fi

metainfo=$root/share/metainfo/$id.metainfo.xml
if [ -f "$metainfo" ]; then
  # --no-net: the screenshot's address is checked for form, not fetched.
  out=$(appstreamcli validate --no-net --pedantic --no-color "$metainfo" 2>&1) ||
    fail "appstreamcli validate: $out"
  grep -q "<description>" "$metainfo" || fail "metainfo without a description"
  grep -q "<screenshot " "$metainfo" || fail "metainfo without a screenshot"
  grep -q "@" "$metainfo" && fail "metainfo keeps an unset @VARIABLE@"
fi

man=$root/share/man/man1/pallador.1.gz
if [ -f "$man" ]; then
  warnings=$(MANWIDTH=80 man --warnings -l "$man" 2>&1 >/dev/null) || fail "man failed: $warnings"
  [ -z "$warnings" ] || fail "man page warnings: $warnings"
  text=$(MANWIDTH=200 man -l "$man" 2>/dev/null)
  for part in SYNOPSIS DESCRIPTION FILES SIGNALS SIGTERM config_unibridge.xml XDG_CONFIG_HOME "no command line options"; do
    grep -q -- "$part" <<<"$text" || fail "man page lacks \"$part\""
  done
fi

if ((failures)); then exit 1; fi
echo "install layout under $prefix: ${#expected[@]} files, all valid"
