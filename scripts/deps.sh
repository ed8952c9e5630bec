#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benchmarks need,
# only those that are missing. Idempotent; safe to run on every build.
set -euo pipefail

packages=(
  build-essential cmake ninja-build
  qt6-base-dev libpugixml-dev libgtest-dev libgmock-dev libbenchmark-dev
  libxcb1-dev iproute2 xvfb xdotool x11-utils openbox imagemagick fonts-liberation2
  tshark ola ola-python python3-matplotlib
  clang-14 libfuzzer-14-dev libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
((${#missing[@]})) || exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# Packages such as ola ship a daemon; keep the installer from starting it
# (it would speak Art-Net on the machine's real networks).
policy=/usr/sbin/policy-rc.d
made_policy=
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' | "${sudo[@]}" tee "$policy" >/dev/null
  "${sudo[@]}" chmod +x "$policy"
  made_policy=1
fi
trap '[ -z "$made_policy" ] || "${sudo[@]}" rm -f "$policy"' EXIT
"${sudo[@]}" apt-get -o DPkg::Lock::Timeout=300 update -qq
"${sudo[@]}" apt-get -o DPkg::Lock::Timeout=300 install -y -qq "${missing[@]}"
