#!/usr/bin/env bash
# A packager's build: a default configure (no preset, nothing but the build
# type, default Release) must build with GCC 12 and with clang 14. Warnings
# show but do not stop it; -Werror belongs to the presets and CI.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
type=${1:-Release}
"$root/scripts/deps.sh" test
for cxx in g++-12 clang++-14; do
  dir="$root/build/plain-$cxx"
  rm -rf "$dir"
  echo "== plain: $cxx, $type"
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE="$type" -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
  grep -qx "PALLADOR_WERROR:BOOL=OFF" "$dir/CMakeCache.txt" || {
    echo "plain: -Werror is on in a default configure" >&2
    exit 1
  }
  cmake --build "$dir" --parallel 2
done
