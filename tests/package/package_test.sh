#!/usr/bin/env bash
# package_test.sh -- the Debian package end to end on this machine: install, the installed kvlisten delivers the sample, removal unregisters, purge leaves nothing behind.
#
#   package_test.sh SOURCE_DIR [DEB]
#
# Builds the package with packaging/build-deb.sh unless DEB is given. Run by .ci/run, not by
# test.sh: it installs into /usr, /etc and /var of the machine (as root), so it refuses to run
# where the package, its user or the machine's store already exist, and purges what it installed
# on every way out. The installed kvlisten runs with a registry store of the test's own and
# talks to loopback only. Prints one line per case, then "N passed, N failed".
set -uo pipefail

SRC=$(cd "${1:?usage: package_test.sh SOURCE_DIR [DEB]}" && pwd) || exit 2
source "$SRC/tests/e2e/e2e_lib.sh"
unset KVLUMEN_HOST_ADDRESSES  # the host name as the system resolves it: loopback only here

STORE=/etc/kvlumen/registry.reg
PREFIX=/usr
MODULES=$PREFIX/lib/kvlumen
UNIT=$PREFIX/lib/systemd/system/kvlisten.service
SAMPLE=$PREFIX/share/doc/kvlumen/deliver.xml
REG='HKLM\SOFTWARE\Korvane\KVLumen'

[[ $(id -u) -eq 0 ]] || { echo "package_test: needs root (it installs a package)"; echo "0 passed, 1 failed"; exit 1; }
if dpkg-query -W -f='${Status}' kvlumen 2>/dev/null | grep -q installed || [[ -e /etc/kvlumen ]] || getent passwd kvlumen >/dev/null; then
  echo "package_test: this machine has kvlumen already (package, /etc/kvlumen or the user): not touching it"
  echo "0 passed, 1 failed"
  exit 1
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/kv-package.XXXXXX") || exit 2
SPOOL=$WORK/spool
mkdir -p "$SPOOL" "$WORK/responses"
INSTALLED=0
HOST_PID=""
HOST_ERR=$WORK/kvlisten.err
DEB=${2:-}

# dpkg waits for a lock another installation holds, up to a minute.
dpkg_run() {
  local i
  for i in $(seq 60); do
    dpkg "$@" >"$WORK/dpkg.out" 2>&1 && return 0
    grep -q 'lock' "$WORK/dpkg.out" || return 1
    sleep 1
  done
  return 1
}

cleanup() {
  stop_process "$HOST_PID"
  if [[ $INSTALLED -eq 1 ]] && dpkg-query -W kvlumen >/dev/null 2>&1; then dpkg_run --purge kvlumen; fi
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'echo "package_test: interrupted"; exit 130' INT TERM

e2e_diagnose() {
  echo "dpkg:"; tail -n 15 "$WORK/dpkg.out" 2>/dev/null
  echo "kvlisten stderr:"; tail -n 15 "$HOST_ERR" 2>/dev/null
}

store_has() { grep -qiF "$1" "$STORE" 2>/dev/null; }

# The package builds, and installing it lays out the programs, modules, unit file and spool
# folder, makes the service's user and registers both modules in the machine's store with the
# default port and spool folder.
case_install() {
  if [[ -z $DEB ]]; then
    DEB=$("$SRC/packaging/build-deb.sh" "$SRC/build/package" 2>&1 | tail -n 1)
  fi
  [[ -f $DEB ]] || { fail "no package: $DEB"; return 1; }
  INSTALLED=1
  dpkg_run -i "$DEB" || { fail "dpkg -i $DEB failed: $(tail -n 5 "$WORK/dpkg.out")"; return 1; }
  local file
  for file in $PREFIX/bin/kvlisten $PREFIX/bin/kvreg $PREFIX/bin/kvregsvr $MODULES/KVEvLsn.so $MODULES/KVEvSpool.so \
              $MODULES/libkvposix.so "$UNIT" /etc/logrotate.d/kvlumen "$SAMPLE"; do
    [[ -e $file ]] || fail "$file is not installed"
  done
  [[ $(stat -c %U /var/spool/kvlumen 2>/dev/null) == kvlumen ]] || fail "/var/spool/kvlumen is not the service user's"
  local out
  out=$(env -u KVLUMEN_REGISTRY $PREFIX/bin/kvreg query 'HKCR\CLSID\{9B381916-211D-4356-AB98-88F3AA3275E5}\InprocServer32' 2>&1)
  grep -qF "$MODULES/KVEvLsn.so" <<<"$out" || fail "the listener is not registered at $MODULES/KVEvLsn.so: $out"
  store_has 'KVLUMEN.EventManagerEx' || fail "the spool event manager is not registered in $STORE"
  out=$(env -u KVLUMEN_REGISTRY $PREFIX/bin/kvreg query "$REG" /s 2>&1)
  grep -qE 'ports +REG_SZ +8080$' <<<"$out" || fail "no default port 8080: $out"
  grep -qE 'spool +REG_SZ +/var/spool/kvlumen$' <<<"$out" || fail "no default spool folder: $out"
  # systemd is not running here, but its analyser checks the unit file all the same.
  if command -v systemd-analyze >/dev/null; then
    systemd-analyze verify "$UNIT" >"$WORK/verify.out" 2>&1 || fail "systemd-analyze verify: $(grep -v '^$' "$WORK/verify.out" | head -5)"
    grep -i 'kvlisten.service' "$WORK/verify.out" && fail "systemd-analyze complains about the unit: $(cat "$WORK/verify.out")"
  fi
  grep -q '^Type=notify$' "$UNIT" || fail "the unit is not Type=notify"
}

host_announced_or_gone() { grep -q '^kvlisten: listening on port ' "$HOST_ERR" || process_gone "$HOST_PID"; }
curl_printer() {  # name body [curl options...]
  local name=$1 body=$2
  shift 2
  curl -s -i --max-time 30 "$@" --data-binary @"$body" "http://$(url_host "$ADDRESS"):$PORT/" \
    >"$WORK/responses/$name" 2>"$WORK/responses/$name.err"
}

# The installed kvlisten, with a store of its own where the installed modules are registered,
# listens and delivers the installed sample into the spool; SIGTERM stops it.
case_installed_host_delivers() {
  local own=$WORK/registry.reg
  ADDRESS=$(listener_address) || { fail "no loopback address for the host name"; return 1; }
  PORT=$(free_port "$ADDRESS") || { fail "no free port"; return 1; }
  KVLUMEN_REGISTRY=$own $PREFIX/bin/kvregsvr /s $MODULES/KVEvLsn.so && KVLUMEN_REGISTRY=$own $PREFIX/bin/kvregsvr /s $MODULES/KVEvSpool.so ||
    fail "registering the installed modules in $own"
  KVLUMEN_REGISTRY=$own $PREFIX/bin/kvreg add "$REG\\Listener" /v ports /t REG_SZ /d "$PORT" /f >/dev/null &&
    KVLUMEN_REGISTRY=$own $PREFIX/bin/kvreg add "$REG\\EventManager" /v spool /t REG_SZ /d "$SPOOL" /f >/dev/null ||
    fail "configuring $own"
  env -u KVLUMEN_REGISTRY $PREFIX/bin/kvlisten --registry "$own" >/dev/null 2>"$HOST_ERR" </dev/null &
  HOST_PID=$!
  wait_until 15 host_announced_or_gone
  grep -q "^kvlisten: listening on port $PORT " "$HOST_ERR" || { fail "the installed kvlisten did not listen on $PORT"; return 1; }
  grep -qF "registry $own" "$HOST_ERR" || fail "kvlisten does not use the store it was given"
  local before
  before=$(spool_count "$SPOOL")
  curl_printer installed "$SAMPLE" -H 'Content-Type: text/xml' || fail "curl exited $?"
  check_response "$WORK/responses/installed" "installed kvlisten"
  check_spooled "$SPOOL" "$before" "$SAMPLE" "installed kvlisten"
  local pid=$HOST_PID
  HOST_PID=""
  ends_cleanly "$pid" TERM "the installed kvlisten"
}

# Removing the package unregisters both modules from the machine's store and keeps the
# administrator's settings; purging removes the store, the folders and the user.
case_remove_and_purge() {
  dpkg_run -r kvlumen || { fail "dpkg -r failed: $(tail -n 5 "$WORK/dpkg.out")"; return 1; }
  [[ -e $PREFIX/bin/kvlisten ]] && fail "kvlisten is still installed"
  store_has 'KVLUMEN.Listener' && fail "KVLUMEN.Listener is still registered in $STORE"
  store_has 'KVLUMEN.EventManagerEx' && fail "KVLUMEN.EventManagerEx is still registered in $STORE"
  store_has '"ports"="8080"' || fail "the settings did not survive the removal"
  dpkg_run --purge kvlumen || { fail "dpkg --purge failed: $(tail -n 5 "$WORK/dpkg.out")"; return 1; }
  local left
  for left in /etc/kvlumen /var/spool/kvlumen /var/log/kvlumen /etc/logrotate.d/kvlumen "$UNIT"; do
    [[ -e $left ]] && fail "$left is left after the purge"
  done
  getent passwd kvlumen >/dev/null && fail "the user kvlumen is left after the purge"
  getent group kvlumen >/dev/null && fail "the group kvlumen is left after the purge"
  INSTALLED=0
}

echo "package_test: work folder $WORK"
run_case Package.InstallRegistersModules case_install
if [[ $INSTALLED -eq 1 ]]; then
  run_case Package.InstalledHostDelivers case_installed_host_delivers
  run_case Package.RemoveUnregistersPurgeCleans case_remove_and_purge
fi
e2e_summary
