#!/usr/bin/env bash
# Takes docs/screenshot-main.png: the real main window under Xvfb, started on
# demonstration settings over loopback (127.0.8.x: it sends nowhere else).
# PALLADOR_APP=<executable> skips the build and uses that binary.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out="$root/docs/screenshot-main.png"

if [ -z "${PALLADOR_APP:-}" ]; then
  "$root/scripts/build.sh" debug
  PALLADOR_APP="$root/build/debug/app/pallador"
fi
for tool in Xvfb xdotool import; do
  command -v "$tool" >/dev/null || { echo "missing $tool (scripts/deps.sh installs it)" >&2; exit 1; }
done

work=$(mktemp -d)
xvfb_pid=""
app_pid=""
cleanup() {
  [ -n "$app_pid" ] && kill -TERM "$app_pid" 2>/dev/null && wait "$app_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The settings file sits beside the executable: run a copy in the scratch folder.
cp "$PALLADOR_APP" "$work/pallador"
{
  printf '<config><interfaces>'
  printf '<interface port="127.0.8.1" destination="" interfacetype="Art-Net Node (INPUT)" isinput="True" universe="0" universeartnet="0" channelcount="512" active="False"/>'
  for u in $(seq 0 15); do
    port=127.0.8.2 dest=127.0.8.3 active=False
    case $u in
      0 | 1 | 6) active=True ;;
      3) active=True port=198.51.100.1 ;;  # not an address of this machine: the row shows the error
      9) dest=127.0.8.77 ;;
    esac
    printf '<interface port="%s" destination="%s" interfacetype="Art-Net Server (OUTPUT)" isinput="False" universe="%d" universeartnet="%d" channelcount="512" active="%s"/>' \
      "$port" "$dest" "$u" "$u" "$active"
  done
  printf '</interfaces></config>'
} >"$work/config_unibridge.xml"

display=99
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
export DISPLAY=":$display"
for _ in $(seq 100); do xdotool getmouselocation >/dev/null 2>&1 && break; sleep 0.1; done

XDG_RUNTIME_DIR="$work" QT_QPA_PLATFORM=xcb "$work/pallador" 2>"$work/stderr.txt" &
app_pid=$!
window=$(timeout 20 xdotool search --sync --onlyvisible --name '^Orvane Pallador$' | head -n 1)
[ -n "$window" ] || { echo "the window did not appear" >&2; cat "$work/stderr.txt" >&2; exit 1; }

# Select row 9 as a user would (no window manager: the window origin is its client origin).
eval "$(xdotool getwindowgeometry --shell "$window")"
xdotool mousemove $((X + 100)) $((Y + 83 + 1 + 21 + 17 * 9 + 8)) click 1
xdotool mousemove $((X + 300)) $((Y + 395))
sleep 1.5  # one status refresh and a repaint

mkdir -p "$(dirname "$out")"
import -window "$window" "$out"
echo "wrote $out"

kill -TERM "$app_pid"
wait "$app_pid" && app_pid="" || { echo "pallador did not exit cleanly" >&2; app_pid=""; exit 1; }
