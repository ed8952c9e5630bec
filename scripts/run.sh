#!/usr/bin/env bash
# Installs what is missing, builds the application (preset debug, or release)
# and starts it from the build tree, so that its settings file
# config_unibridge.xml sits beside the executable and is kept between runs.
# Without a display it runs on Qt's offscreen platform and still bridges with
# its saved settings; Ctrl+C or kill closes it normally and saves them.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
preset=${1:-debug}
case "$preset" in
  debug | release) ;;
  *) echo "usage: $0 [debug|release]" >&2; exit 2 ;;
esac

"$root/scripts/build.sh" "$preset"
app="$root/build/$preset/app/pallador"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "No display found: running offscreen (no window). Stop with Ctrl+C; the settings are saved."
fi
echo "Settings: $(dirname "$app")/config_unibridge.xml"
exec "$app"
