#!/usr/bin/env bash
# Takes docs/screenshot-main.png, the only way it is made: the real main window
# under Xvfb with a window manager (openbox), as a user's desktop shows it,
# started on demonstration settings over loopback (127.0.8.x: it sends nowhere else).
# PALLADOR_APP=<executable> skips the build and uses that binary.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out="$root/docs/screenshot-main.png"

if [ -z "${PALLADOR_APP:-}" ]; then
  "$root/scripts/build.sh" debug
  PALLADOR_APP="$root/build/debug/app/pallador"
fi
for tool in Xvfb openbox xdotool xprop xwininfo import; do
  command -v "$tool" >/dev/null || { echo "missing $tool (scripts/deps.sh installs it)" >&2; exit 1; }
done

work=$(mktemp -d)
xvfb_pid=""
wm_pid=""
app_pid=""
cleanup() {
  [ -n "$app_pid" ] && kill -TERM "$app_pid" 2>/dev/null && wait "$app_pid" 2>/dev/null || true
  [ -n "$wm_pid" ] && kill "$wm_pid" 2>/dev/null && wait "$wm_pid" 2>/dev/null || true
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

# A free display, chosen by the server itself.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(head -n 1 "$work/display")"
# openbox with its default configuration, none of the user's.
HOME="$work" XDG_CONFIG_HOME="$work/config" openbox >/dev/null 2>&1 &
wm_pid=$!
for _ in $(seq 100); do xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id" && break; sleep 0.1; done

XDG_RUNTIME_DIR="$work" QT_QPA_PLATFORM=xcb "$work/pallador" 2>"$work/stderr.txt" &
app_pid=$!
window=$(timeout 20 xdotool search --sync --onlyvisible --name '^Orvane Pallador$' | head -n 1)
[ -n "$window" ] || { echo "the window did not appear" >&2; cat "$work/stderr.txt" >&2; exit 1; }

# Once openbox has framed the window, the program centres it with its frame.
client_origin() {
  xwininfo -id "$window" | awk '/Absolute upper-left X/ {x = $NF} /Absolute upper-left Y/ {y = $NF} END {print x, y}'
}
for _ in $(seq 100); do xprop -id "$window" _NET_FRAME_EXTENTS | grep -q "=" && break; sleep 0.1; done
origin=$(client_origin)
for _ in $(seq 20); do
  sleep 0.2
  [ "$(client_origin)" = "$origin" ] && break
  origin=$(client_origin)
done
read -r X Y <<<"$origin"

# Select row 9 as a user would.
xdotool mousemove $((X + 100)) $((Y + 83 + 1 + 21 + 17 * 9 + 8)) click 1
xdotool mousemove $((X + 300)) $((Y + 395))
sleep 1.5  # one status refresh and a repaint

mkdir -p "$(dirname "$out")"
import -window "$window" "$out"
echo "wrote $out"

kill -TERM "$app_pid"
wait "$app_pid" && app_pid="" || { echo "pallador did not exit cleanly" >&2; app_pid=""; exit 1; }
