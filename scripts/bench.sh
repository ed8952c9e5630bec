#!/usr/bin/env bash
# Installs what is missing, builds the release preset and runs the benchmarks.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh" release
for b in "$root"/build/release/bench/*_bench; do
  [ -x "$b" ] || continue
  echo "== $(basename "$b")"
  "$b" --benchmark_min_time=0.2 "$@"
done
