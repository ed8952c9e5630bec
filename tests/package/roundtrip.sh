#!/usr/bin/env bash
# The Debian package end to end: its control fields, `dpkg -i`, the installed
# program run offscreen as an ordinary user bridging ArtDmx over loopback
# (127.0.13.0/24, see tests/README.md) with its settings in the user's
# configuration folder, a SIGTERM that saves them, `dpkg -r`, and nothing of
# the package left behind; the shipped systemd unit checked by
# systemd-analyze verify and run with its environment. Needs root; skips without it.
# usage: roundtrip.sh PACKAGE.deb VERSION
set -euo pipefail
deb=$(realpath "$1")
version=$2
here=$(cd "$(dirname "$0")" && pwd)
user=pallador-rt
input=127.0.13.1 bind=127.0.13.2 node=127.0.13.3 console=127.0.13.4

if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: the package round trip needs root (dpkg -i, a test user)"
  exit 0
fi
if dpkg-query -W -f='${db:Status-Status}' pallador 2>/dev/null | grep -qx installed; then
  echo "SKIP: pallador is installed on this machine; the round trip would replace and remove it"
  exit 0
fi

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
work=$(mktemp -d)
pid=
installed=
cleanup() {
  [ -z "$pid" ] || kill -KILL "$pid" 2>/dev/null || true
  [ -z "$installed" ] || dpkg -r pallador >/dev/null 2>&1 || true
  userdel "$user" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
# wait_for <seconds> <command...>: polls the condition every 100 ms until the deadline.
wait_for() {
  local end=$((SECONDS + $1))
  shift
  until "$@"; do
    ((SECONDS < end)) || return 1
    sleep 0.1
  done
}

echo "== dpkg -I $(basename "$deb")"
info=$(dpkg-deb -I "$deb")
echo "$info"
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = pallador ] || fail "Package is $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version $(field Version), the project says $version"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
field Description | sed -n 2p | grep -q . || fail "no long description"
depends=$(field Depends | sed 's/ *([^)]*)//g; s/, */\n/g')
for lib in libc6 libstdc++6 libqt6widgets6 libqt6core6 libpugixml1v5; do
  grep -qxF "$lib" <<<"$depends" || fail "Depends lacks $lib (shlibdeps): $(field Depends)"
done
echo "== dpkg -c (layout)"
dpkg-deb -c "$deb" | awk '{print $6}'

dpkg -i "$deb" >/dev/null
installed=1
mapfile -t owned < <(dpkg -L pallador)
files=()
for path in "${owned[@]}"; do [ -d "$path" ] && [ ! -L "$path" ] || files+=("$path"); done
[ -x /usr/bin/pallador ] || fail "/usr/bin/pallador missing after dpkg -i"

# An ordinary user with the settings in its configuration folder (the
# program's folder /usr/bin is not the user's to write).
userdel "$user" >/dev/null 2>&1 || true
home=$work/home
chmod 755 "$work" # the user's way into its home
mkdir -p "$home/.config/pallador" "$home/run"
useradd --home-dir "$home" --no-create-home --shell /usr/sbin/nologin --user-group "$user"
settings=$home/.config/pallador/config_unibridge.xml
{
  echo '<config>'
  echo ' <interfaces>'
  echo "  <interface port=\"$input\" destination=\"\" interfacetype=\"Art-Net Node (INPUT)\" isinput=\"True\" universe=\"0\" universeartnet=\"0\" channelcount=\"512\" active=\"False\"/>"
  for u in $(seq 0 15); do
    active=False
    [ "$u" -ne 0 ] || active=True
    echo "  <interface port=\"$bind\" destination=\"$node\" interfacetype=\"Art-Net Server (OUTPUT)\" isinput=\"False\" universe=\"$u\" universeartnet=\"$u\" channelcount=\"512\" active=\"$active\"/>"
  done
  echo ' </interfaces>'
  echo '</config>'
} >"$settings"
written=$(cat "$settings")
chown -R "$user:$user" "$home"
chmod 700 "$home/run"

# setpriv execs the program itself, so that $! is its PID. No display: offscreen.
setpriv --reuid="$user" --regid="$user" --init-groups \
  env -i HOME="$home" PATH=/usr/bin:/bin XDG_RUNTIME_DIR="$home/run" pallador 2>"$work/stderr" &
pid=$!
notice="pallador: settings file $settings"
wait_for 20 grep -qxF "$notice" "$work/stderr" || fail "no notice \"$notice\": $(cat "$work/stderr")"

echo "== bridge: ArtDmx $console -> $input, expected $bind -> $node"
python3 "$here/artdmx_loop.py" "$input" "$console" "$node" || fail "the installed program did not bridge"

kill -TERM "$pid"
wait_for 20 bash -c "! kill -0 $pid 2>/dev/null" || fail "still running 20 s after SIGTERM"
status=0
wait "$pid" || status=$?
pid=
[ "$status" -eq 0 ] || fail "exit status $status after SIGTERM: $(cat "$work/stderr")"
saved=$(cat "$settings")
[ "$saved" != "$written" ] || fail "the settings file was not written at the end"
[ "$(grep -o '<interface ' <<<"$saved" | wc -l)" -eq 17 ] || fail "saved settings lack slots: $saved"
grep -q "port=\"$bind\" destination=\"$node\"" <<<"$saved" || fail "saved settings lost the outputs: $saved"
[ "$(stat -c %U "$settings")" = "$user" ] || fail "settings file not owned by the user"

# The headless unit: valid for systemd, not enabled, and its environment puts
# the settings in the state folder (here a scratch stand-in for /var/lib),
# saved at SIGTERM by a user without a home.
unit=/usr/lib/systemd/system/pallador.service
if command -v systemd-analyze >/dev/null; then
  out=$(systemd-analyze verify "$unit" 2>&1) && [ -z "$out" ] || fail "systemd-analyze verify: $out"
else
  echo "SKIP: systemd-analyze missing (package systemd); the unit is not verified"
fi
! ls /etc/systemd/system/*/pallador.service >/dev/null 2>&1 || fail "the unit is enabled"
grep -qx "KillSignal=SIGTERM" "$unit" || fail "the unit stops with another signal"
grep -qx "Restart=on-failure" "$unit" || fail "the unit does not restart on failure"
state=$work/state
mkdir -p "$state/pallador" "$work/runtime/pallador"
chown "$user:$user" "$state/pallador" "$work/runtime/pallador"
mapfile -t unit_env < <(sed -n 's/^Environment=//p' "$unit" | sed "s|%S|$state|; s|%t|$work/runtime|")
setpriv --reuid="$user" --regid="$user" --init-groups env -i PATH=/usr/bin:/bin "${unit_env[@]}" \
  pallador 2>"$work/unit-stderr" &
pid=$!
notice="pallador: settings file $state/pallador/config_unibridge.xml"
wait_for 20 grep -qxF "$notice" "$work/unit-stderr" || fail "no notice \"$notice\": $(cat "$work/unit-stderr")"
kill -TERM "$pid"
wait_for 20 bash -c "! kill -0 $pid 2>/dev/null" || fail "the unit's program still runs 20 s after SIGTERM"
pid=
grep -q "<interfaces>" "$state/pallador/config_unibridge.xml" 2>/dev/null ||
  fail "the unit's program saved no settings in the state folder"

dpkg -r pallador >/dev/null
installed=
state=$(dpkg-query -W -f='${db:Status-Status}' pallador 2>/dev/null || true)
[ -z "$state" ] || [ "$state" = not-installed ] || fail "after dpkg -r pallador is \"$state\""
for path in "${files[@]}"; do
  [ ! -e "$path" ] && [ ! -L "$path" ] || fail "left after dpkg -r: $path"
done
# A folder may stay when another package owns it or something else lives in it.
for path in "${owned[@]}"; do
  [ "$path" != /. ] && [ -d "$path" ] && [ ! -L "$path" ] || continue
  [ -n "$(ls -A "$path")" ] || dpkg -S "$path" >/dev/null 2>&1 ||
    fail "empty folder left after dpkg -r, owned by no package: $path"
done

if ((failures)); then exit 1; fi
echo "package round trip: ${#files[@]} files installed, bridged, saved, removed"
