#!/usr/bin/env bash
# Installs what is missing, then configures and builds the given presets
# (debug, release, asan, tsan, run, run-release; default debug) into
# build/<preset> (the run presets: build/run). The run presets need only the
# packages of `scripts/deps.sh run`; every other preset needs the test set.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
presets=("${@:-debug}")
set=run
for preset in "${presets[@]}"; do
  case "$preset" in run | run-release) ;; *) set=test ;; esac
done
"$root/scripts/deps.sh" "$set"
cd "$root"
for preset in "${presets[@]}"; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
