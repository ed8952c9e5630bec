#!/usr/bin/env bash
# Installs what is missing, builds, and runs every check, in this order:
#   debug  the whole test suite in the normal build;
#   asan   the same under AddressSanitizer + UndefinedBehaviorSanitizer;
#   tsan   the same under ThreadSanitizer;
#   fuzz   each fuzz target for $PALLADOR_FUZZ_SECONDS (default 60) on its corpus;
#   soak   a soak of $PALLADOR_SOAK_SECONDS (default 60) in the asan build;
#   plain  a default configure without presets builds with GCC 12 and clang 14;
#   package  the Debian package built, installed, run, removed (root only).
# Pass step names to run only those, e.g. scripts/test.sh debug
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
steps=("${@:-debug}")
[ $# -gt 0 ] || steps=(debug asan tsan fuzz soak plain package)
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$(mktemp -d)}
chmod 700 "$XDG_RUNTIME_DIR"
cd "$root"
for step in "${steps[@]}"; do
  SECONDS=0
  case "$step" in
    fuzz) "$root/scripts/fuzz.sh" "${PALLADOR_FUZZ_SECONDS:-60}" ;;
    soak) "$root/scripts/soak.sh" "${PALLADOR_SOAK_SECONDS:-60}" asan ;;
    plain) "$root/scripts/plain.sh" Release ;;
    package) "$root/scripts/package.sh" ;;
    *)
      echo "== $step: build"
      "$root/scripts/build.sh" "$step"
      echo "== $step: test"
      ctest --preset "$step" -j2
      ;;
  esac
  echo "== $step: done in $((SECONDS / 60)) min $((SECONDS % 60)) s"
done
