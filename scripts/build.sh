#!/usr/bin/env bash
# Installs what is missing, then configures and builds the given presets
# (debug, release, asan, tsan, run, run-release, package; default debug) into
# build/<preset> (the run presets: build/run). The run presets and package
# need only the packages of `scripts/deps.sh run`; the others the test set.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
presets=("${@:-debug}")
set=run
for preset in "${presets[@]}"; do
  case "$preset" in run | run-release | package) ;; *) set=test ;; esac
done
"$root/scripts/deps.sh" "$set"
cd "$root"
for preset in "${presets[@]}"; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
