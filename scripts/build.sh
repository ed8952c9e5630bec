#!/usr/bin/env bash
# Installs what is missing, then configures and builds the given presets
# (debug, release, asan, tsan; default debug) into build/<preset>.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh"
cd "$root"
for preset in "${@:-debug}"; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
