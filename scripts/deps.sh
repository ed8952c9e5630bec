#!/usr/bin/env bash
# Installs the Debian packages of one set, only those that are missing.
# Idempotent; safe to run on every build.
#   scripts/deps.sh run    what building and running the program needs
#   scripts/deps.sh test   the run set plus what tests, benchmarks, fuzzing and
#                          the package checks add (the default)
# A daemon that this run's installation enables at boot (ola ships olad) is
# left disabled and is not started: it would speak Art-Net on the machine's
# real networks and hold UDP 6454. Daemons enabled before are left as they were.
set -euo pipefail

# file: CPack reads with it which files need shared-library dependencies.
# libxcb1-dev: the start probes the X display through XCB before Qt takes it.
run_set=(build-essential cmake ninja-build qt6-base-dev libpugixml-dev libxcb1-dev file)
test_set=(
  libgtest-dev libgmock-dev libbenchmark-dev
  iproute2 xvfb xdotool x11-utils openbox imagemagick fonts-liberation2
  tshark ola ola-python python3-matplotlib
  clang-14 libfuzzer-14-dev libclang-rt-14-dev
  desktop-file-utils appstream dpkg-dev systemd
)

set_name=${1:-test}
case "$set_name" in
  run) packages=("${run_set[@]}") ;;
  test) packages=("${run_set[@]}" "${test_set[@]}") ;;
  *) echo "usage: $0 [run|test]" >&2; exit 2 ;;
esac

# Where the boot links and the installer's policy live (a test points these elsewhere).
etc=${PALLADOR_DEPS_ETC:-/etc}
policy=${PALLADOR_DEPS_POLICY:-/usr/sbin/policy-rc.d}

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
((${#missing[@]})) || exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)

# Services enabled at boot: System V start links (by script name) and systemd
# wants links (by unit), one a line.
enabled_services() {
  local link
  for link in "$etc"/rc[2-5].d/S[0-9][0-9]*; do
    [ -L "$link" ] && echo "sysv ${link##*/S[0-9][0-9]}"
  done
  for link in "$etc"/systemd/system/*.wants/*.service; do
    [ -L "$link" ] && echo "unit ${link##*/}"
  done
  return 0
}

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# Keep the installer from starting any daemon (invoke-rc.d and
# deb-systemd-invoke ask this policy; 101 means "not allowed").
made_policy=
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' | "${sudo[@]}" tee "$policy" >/dev/null
  "${sudo[@]}" chmod +x "$policy"
  made_policy=1
fi
trap '[ -z "$made_policy" ] || "${sudo[@]}" rm -f "$policy"' EXIT
before=$(enabled_services | sort -u)
"${sudo[@]}" apt-get -o DPkg::Lock::Timeout=300 update -qq
"${sudo[@]}" apt-get -o DPkg::Lock::Timeout=300 install -y -qq "${missing[@]}"
after=$(enabled_services | sort -u)

# What the installation enabled, and only that, is disabled again.
while read -r kind name; do
  [ -n "$kind" ] || continue
  echo "Disabling at boot: $name (installed now; enable it yourself if you want it)"
  case "$kind" in
    sysv) "${sudo[@]}" update-rc.d "$name" disable >/dev/null ;;
    unit) "${sudo[@]}" systemctl disable --quiet "$name" ;;
  esac
done < <(comm -13 <(echo "$before") <(echo "$after"))
