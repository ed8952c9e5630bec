#!/usr/bin/env bash
# The performance run: builds what it needs in the release preset, then
# measures the bridge against the machine's limit and against OLA's olad in
# network namespaces of its own (root: through sudo when not root). Prints one
# table and writes docs/PERFORMANCE.md with its plots. A few minutes;
# --full runs the clock and load figures for 60 s each.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh"
cd "$root"
cmake --preset release >/dev/null
cmake --build --preset release --target pallador perf_load perf_window \
  codec_bench handoff_bench ports_bench udp_bench
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
# Debian's interpreter: it has the ola and matplotlib modules.
exec "${sudo[@]}" /usr/bin/python3 "$root/bench/perf/perf.py" \
  --build "$root/build/release" --docs "$root/docs" "$@"
