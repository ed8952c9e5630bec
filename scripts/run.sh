#!/usr/bin/env bash
# Installs what building and running needs (scripts/deps.sh run), builds the
# program alone (preset run, or run-release: no tests, no benchmarks) into
# build/run and starts it from there, so that its settings file
# config_unibridge.xml sits beside the executable and is kept between runs,
# debug and release alike.
# Without a display it runs on Qt's offscreen platform and still bridges with
# its saved settings; Ctrl+C or kill closes it normally and saves them.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
preset=${1:-debug}
case "$preset" in
  debug | release) ;;
  *) echo "usage: $0 [debug|release]" >&2; exit 2 ;;
esac

if [ "$preset" = debug ]; then preset=run; else preset=run-release; fi
"$root/scripts/build.sh" "$preset"
app="$root/build/run/app/pallador"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "No display found: running offscreen (no window). Stop with Ctrl+C; the settings are saved."
fi
echo "Settings: $(dirname "$app")/config_unibridge.xml"
exec "$app"
