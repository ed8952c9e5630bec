#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite in each
# build: normal (debug) and AddressSanitizer + UndefinedBehaviorSanitizer (asan).
# Pass preset names to run only those, e.g. scripts/test.sh debug
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
presets=("${@:-debug}")
[ $# -gt 0 ] || presets=(debug asan)
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$(mktemp -d)}
chmod 700 "$XDG_RUNTIME_DIR"
cd "$root"
for preset in "${presets[@]}"; do
  echo "== $preset: build"
  "$root/scripts/build.sh" "$preset"
  echo "== $preset: test"
  ctest --preset "$preset" -j2
done
