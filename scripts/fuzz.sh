#!/usr/bin/env bash
# Builds the fuzz preset (clang, libFuzzer) and runs each fuzz target for a
# bounded time on its seed corpus and regression inputs, one after the other.
# New inputs found are kept in build/fuzz/corpus/<target> for the next run; a
# crash fails the run and its input is left in build/fuzz/crashes/<target>/
# (fix it, then add the input to fuzz/regressions/<target>/).
# Usage: scripts/fuzz.sh [seconds per target, default 60] [target...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
shift || true
targets=("${@:-datagram}")
[ $# -gt 0 ] || targets=(datagram address settings core)

"$root/scripts/build.sh" fuzz
build="$root/build/fuzz"
status=0
for t in "${targets[@]}"; do
  corpus="$build/corpus/$t"
  crashes="$build/crashes/$t"
  mkdir -p "$corpus" "$crashes"
  inputs=("$corpus" "$root/fuzz/corpus/$t")
  [ -d "$root/fuzz/regressions/$t" ] && inputs+=("$root/fuzz/regressions/$t")
  echo "== fuzz $t: ${seconds} s"
  log="$build/$t.log"
  if ! "$build/fuzz/${t}_fuzz" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
      -dict="$root/fuzz/$t.dict" -artifact_prefix="$crashes/" "${inputs[@]}" >"$log" 2>&1; then
    status=1
    tail -n 60 "$log"
    echo "FAILED: fuzz $t; the input is in $crashes"
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  echo "   ${runs:-?} executions, corpus $(find "$corpus" -type f | wc -l) inputs"
done
exit $status
