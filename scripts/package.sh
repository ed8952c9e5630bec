#!/usr/bin/env bash
# Builds the Debian package (preset package: Release, prefix /usr) into
# build/package/pallador_<version>_<arch>.deb, then runs its round trip
# (tests/package/roundtrip.sh: install, bridge, save, remove; root only).
# scripts/package.sh build   only builds the package.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh" package
build=$root/build/package
rm -f "$build"/pallador_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/pallador_*.deb)
echo "== package: $deb"
[ "${1:-}" != build ] || exit 0
"$root/scripts/deps.sh" test # python3 and systemd-analyze for the round trip
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
"$root/tests/package/roundtrip.sh" "$deb" "$version"
