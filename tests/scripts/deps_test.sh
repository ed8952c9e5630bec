#!/usr/bin/env bash
# scripts/deps.sh against stand-ins for dpkg-query, apt-get, update-rc.d and
# systemctl: which packages each set asks for, and that only the daemons its
# own installation enabled are disabled again.
set -euo pipefail
deps=$(cd "$(dirname "$0")/../../scripts" && pwd)/deps.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

mkdir -p "$work/bin"
# dpkg-query: a package is installed when it is listed in $work/installed.
cat >"$work/bin/dpkg-query" <<'STUB'
#!/bin/sh
grep -qx "$3" "$STUB_DIR/installed" && printf 'install ok installed'
exit 0
STUB
# apt-get: records what it is asked to install; installing ola (or sparkd)
# enables its daemon the way the maintainer scripts do. The policy must forbid starts.
cat >"$work/bin/apt-get" <<'STUB'
#!/bin/sh
[ "$3" = install ] || exit 0
shift 5
[ -x "$PALLADOR_DEPS_POLICY" ] && ! "$PALLADOR_DEPS_POLICY" || echo "no start policy" >>"$STUB_DIR/calls"
for p in "$@"; do
  echo "install $p" >>"$STUB_DIR/calls"
  case "$p" in
    ola) mkdir -p "$PALLADOR_DEPS_ETC/rc2.d"; ln -sf ../init.d/olad "$PALLADOR_DEPS_ETC/rc2.d/S01olad" ;;
    sparkd) mkdir -p "$PALLADOR_DEPS_ETC/systemd/system/multi-user.target.wants"
            ln -sf /lib/systemd/system/sparkd.service "$PALLADOR_DEPS_ETC/systemd/system/multi-user.target.wants/" ;;
  esac
done
STUB
printf '#!/bin/sh\necho "update-rc.d $*" >>"$STUB_DIR/calls"\n' >"$work/bin/update-rc.d"
printf '#!/bin/sh\necho "systemctl $*" >>"$STUB_DIR/calls"\n' >"$work/bin/systemctl"
printf '#!/bin/sh\nexec "$@"\n' >"$work/bin/sudo"
chmod +x "$work"/bin/*

# run_deps <set> <installed packages...>: a fresh machine with those packages.
run_deps() {
  local set=$1
  shift
  rm -rf "$work/etc" "$work/calls" "$work/policy"
  mkdir -p "$work/etc"
  printf '%s\n' "$@" >"$work/installed"
  : >"$work/calls"
  [ -z "${ENABLED_BEFORE:-}" ] || { mkdir -p "$work/etc/rc2.d"; ln -s ../init.d/olad "$work/etc/rc2.d/S01olad"; }
  STUB_DIR=$work PATH="$work/bin:$PATH" PALLADOR_DEPS_ETC=$work/etc PALLADOR_DEPS_POLICY=$work/policy \
    bash "$deps" "$set" >"$work/out" 2>&1 || fail "deps.sh $set exited $?: $(cat "$work/out")"
}
called() { grep -qx "$1" "$work/calls"; }

run_set="build-essential cmake ninja-build qt6-base-dev libpugixml-dev libxcb1-dev file"

# The run set: the toolchain, Qt and pugixml, nothing of the tests.
run_deps run
for p in $run_set; do called "install $p" || fail "run set lacks $p"; done
for p in ola tshark clang-14 libgtest-dev libbenchmark-dev python3-matplotlib; do
  ! called "install $p" || fail "run set installs $p"
done

# Everything present: nothing is installed.
# shellcheck disable=SC2086
run_deps run $run_set
[ ! -s "$work/calls" ] || fail "installed with nothing missing: $(cat "$work/calls")"

# The test set installs ola: no start during the installation, olad disabled
# at boot afterwards, the temporary policy gone.
run_deps test
called "install ola" || fail "test set lacks ola"
! called "no start policy" || fail "daemons could start during the installation"
called "update-rc.d olad disable" || fail "olad left enabled: $(cat "$work/calls")"
[ ! -e "$work/policy" ] || fail "temporary start policy left behind"

# olad installed and enabled by the user before: left as it was.
# shellcheck disable=SC2086
ENABLED_BEFORE=1 run_deps test $run_set ola
! called "install ola" || fail "ola installed again"
! grep -q "update-rc.d olad" "$work/calls" || fail "the user's olad was disabled"

# A package whose native systemd unit its installation enables.
cp "$deps" "$work/deps.sh"
sed -i 's/^test_set=(/test_set=(sparkd /' "$work/deps.sh"
deps=$work/deps.sh
run_deps test
called "systemctl disable --quiet sparkd.service" || fail "unit left enabled: $(cat "$work/calls")"

if ((failures)); then exit 1; fi
echo "deps.sh: all cases pass"
