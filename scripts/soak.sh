#!/usr/bin/env bash
# A soak of the application: sixteen outputs, 704 ArtDmx/s into the input plus
# a flood of other universes, a reconnect every 3 s; then a normal close. The
# driver (tests/faults/soak_driver.cpp) prints its figures and fails on a
# skipped tick, a lost input datagram, a torn frame, growing memory, an
# unclean exit or a sanitizer report. In the AddressSanitizer build (the
# default) the exit also checks for leaks; the quarantine of freed memory is
# kept small so that the resident size can settle.
# Usage: scripts/soak.sh [seconds, default 600] [preset, default asan]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-600}
preset=${2:-asan}

"$root/scripts/build.sh" "$preset"
build="$root/build/$preset"
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$(mktemp -d)}
chmod 700 "$XDG_RUNTIME_DIR"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:quarantine_size_mb=8
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS="halt_on_error=1 suppressions=$root/tests/gui/tsan.supp"
echo "== soak: ${seconds} s ($preset)"
"$build/tests/faults/soak_driver" --harness "$build/tests/faults/pallador_harness" \
  --seconds "$seconds" --flood 2000 --reconnect-ms 3000
