#!/usr/bin/env bash
# package_test.sh -- the Debian package end to end on this machine: lintian, a first installation, an upgrade from the previous version with events waiting, the installed kvlisten as the service user with its log rotated, removal, and purges that leave nothing in /etc, /var or /dev/shm.
#
#   package_test.sh SOURCE_DIR [DEB [OLD_DEB]]
#
# Builds the package with packaging/build-deb.sh unless DEB is given, and the previous version's
# from the tree of commit c7a2b91 unless OLD_DEB is given (kept in build/package-c7a2b91 for the
# next run). Run by .ci/run, not by test.sh: it installs into /usr, /etc and /var of the machine
# (as root), so it refuses to run where the package, its user or the machine's store already
# exist, and purges what it installed on every way out. The installed kvlisten talks to loopback
# only. Prints one line per case, then "N passed, N failed".
set -uo pipefail

SRC=$(cd "${1:?usage: package_test.sh SOURCE_DIR [DEB [OLD_DEB]]}" && pwd) || exit 2
source "$SRC/tests/e2e/e2e_lib.sh"
unset KVLUMEN_HOST_ADDRESSES KVLUMEN_REGISTRY KVLUMEN_GROUP  # the machine's store and group, as the service has them

OLD_COMMIT=c7a2b91
STORE=/etc/kvlumen/registry.reg
PREFIX=/usr
MODULES=$PREFIX/lib/kvlumen
UNIT=$PREFIX/lib/systemd/system/kvlisten.service
WANTS=/etc/systemd/system/multi-user.target.wants/kvlisten.service
SAMPLE=$PREFIX/share/doc/kvlumen/deliver.xml
MACHINE_SPOOL=/var/spool/kvlumen
MACHINE_LOG=/var/log/kvlumen/kvlisten.log
REG='HKLM\SOFTWARE\Korvane\KVLumen'
AS_SERVICE=(setpriv --reuid=kvlumen --regid=kvlumen --init-groups)

[[ $(id -u) -eq 0 ]] || { echo "package_test: needs root (it installs a package)"; echo "0 passed, 1 failed"; exit 1; }
if dpkg-query -W -f='${Status}' kvlumen 2>/dev/null | grep -q installed || [[ -e /etc/kvlumen ]] || getent passwd kvlumen >/dev/null; then
  echo "package_test: this machine has kvlumen already (package, /etc/kvlumen or the user): not touching it"
  echo "0 passed, 1 failed"
  exit 1
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/kv-package.XXXXXX") || exit 2
chmod 0755 "$WORK"
SPOOL=$WORK/spool
mkdir -p "$SPOOL" "$WORK/responses"
INSTALLED=0
HOST_PID=""
HOST_ERR=$WORK/kvlisten.err
PRINTER_PID=""
DEB=${2:-}
OLD_DEB=${3:-}
KV_UID=""

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
  stop_process "$PRINTER_PID"
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
machine_reg() { env -u KVLUMEN_REGISTRY $PREFIX/bin/kvreg "$@"; }

# What the package could leave behind: every path below /etc and /var (less the package
# manager's own records, caches and logs), and the files of a given user in /dev/shm.
snapshot() {
  find /etc /var -xdev -mindepth 1 \
    \( -path /var/lib/dpkg -o -path /var/cache -o -path /var/lib/apt -o -path /var/log -o -path /var/tmp \
       -o -path /var/backups -o -path /var/lib/systemd/deb-systemd-helper-enabled \
       -o -path /var/lib/systemd/deb-systemd-helper-masked \) -prune -o -print 2>/dev/null | sort
  find /var/lib/systemd/deb-systemd-helper-enabled /var/lib/systemd/deb-systemd-helper-masked -mindepth 1 \
    2>/dev/null | sort
  find /var/log -xdev -mindepth 1 -name '*kvlumen*' 2>/dev/null
}
left_behind() {  # BEFORE-SNAPSHOT
  local after=$WORK/after.list
  snapshot >"$after"
  comm -13 "$1" "$after"
  [[ -n $KV_UID ]] && find /dev/shm -maxdepth 1 -uid "$KV_UID" 2>/dev/null
}

build_packages() {
  if [[ -z $DEB ]]; then
    DEB=$("$SRC/packaging/build-deb.sh" "$SRC/build/package" 2>&1 | tail -n 1)
  fi
  if [[ -z $OLD_DEB ]]; then
    local old=$SRC/build/package-$OLD_COMMIT
    OLD_DEB=$(ls "$old"/build/kvlumen_*.deb 2>/dev/null | head -n 1)
    if [[ -z $OLD_DEB ]]; then
      rm -rf "$old/src" && mkdir -p "$old/src" && git -C "$SRC" archive "$OLD_COMMIT" | tar -x -C "$old/src" &&
        OLD_DEB=$("$old/src/packaging/build-deb.sh" "$old/build" 2>&1 | tail -n 1)
    fi
  fi
  [[ -f $DEB ]] || { fail "no package: $DEB"; return 1; }
  [[ -f $OLD_DEB ]] || { fail "no package of $OLD_COMMIT: $OLD_DEB"; return 1; }
  echo "    new: $(basename "$DEB"), previous: $(basename "$OLD_DEB")"
}

# lintian finds no error (its warnings are shown).
case_lintian() {
  build_packages || return 1
  command -v lintian >/dev/null || { fail "lintian is not installed"; return 1; }
  lintian --fail-on error "$DEB" >"$WORK/lintian.out" 2>&1
  local rc=$?
  grep -E '^[EW]: ' "$WORK/lintian.out" | sed 's/^/    /'
  [[ $rc -eq 0 ]] || fail "lintian reports errors (exit $rc): $(grep '^E: ' "$WORK/lintian.out" | head -5)"
}

# A first installation lays out the programs, modules, manual pages, unit and folders, makes the
# service's user, registers both modules with the default port and spool folder, and enables the
# unit for the next boot, saying so, as systemd does not run here.
case_fresh_install() {
  snapshot >"$WORK/before-fresh.list"
  INSTALLED=1
  # The README's own command, where the package was built where the README says.
  local apt_line
  apt_line=$(readme_package_commands | grep '^sudo apt install ' | head -n 1)
  if [[ -n $apt_line && $(readlink -f "$DEB") == "$SRC"/build/package/kvlumen_*_amd64.deb ]]; then
    echo "    README: $apt_line"
    printf 'APT::Get::Assume-Yes "true";\n' >"$WORK/apt.conf"
    (cd "$SRC" && APT_CONFIG=$WORK/apt.conf DEBIAN_FRONTEND=noninteractive bash -c "${apt_line#sudo }") \
      >"$WORK/dpkg.out" 2>&1 </dev/null || { fail "'$apt_line' failed: $(tail -n 5 "$WORK/dpkg.out")"; return 1; }
  else
    dpkg_run -i "$DEB" || { fail "dpkg -i $DEB failed: $(tail -n 5 "$WORK/dpkg.out")"; return 1; }
  fi
  KV_UID=$(id -u kvlumen)
  local file
  for file in $PREFIX/bin/kvlisten $PREFIX/bin/kvreg $PREFIX/bin/kvregsvr $MODULES/KVEvLsn.so $MODULES/KVEvSpool.so \
              $MODULES/KVEvRedis.so $MODULES/libkvposix.so "$UNIT" /etc/logrotate.d/kvlumen "$SAMPLE" \
              /usr/share/doc/kvlumen/copyright /usr/share/doc/kvlumen/changelog.gz; do
    [[ -e $file ]] || fail "$file is not installed"
  done
  for file in kvlisten kvreg kvregsvr; do
    [[ -f /usr/share/man/man8/$file.8.gz ]] || fail "no manual page for $file"
  done
  [[ $(stat -c '%U:%G %a' $MACHINE_SPOOL) == 'kvlumen:kvlumen 2770' ]] ||
    fail "$MACHINE_SPOOL is $(stat -c '%U:%G %a' $MACHINE_SPOOL), not kvlumen:kvlumen 2770"
  local out
  out=$(machine_reg query 'HKCR\CLSID\{9B381916-211D-4356-AB98-88F3AA3275E5}\InprocServer32' 2>&1)
  grep -qF "$MODULES/KVEvLsn.so" <<<"$out" || fail "the listener is not registered at $MODULES/KVEvLsn.so: $out"
  store_has "$MODULES/KVEvSpool.so" || fail "the spool event manager is not registered in $STORE"
  out=$(machine_reg query "$REG" /s 2>&1)
  grep -qE 'ports +REG_SZ +8080$' <<<"$out" || fail "no default port 8080: $out"
  grep -qE "spool +REG_SZ +$MACHINE_SPOOL\$" <<<"$out" || fail "no default spool folder: $out"
  [[ $(readlink -f "$WANTS") == "$(readlink -f "$UNIT")" ]] || fail "the unit is not enabled ($WANTS)"
  grep -q 'kvlisten.service is enabled; systemd does not run here, so it starts at the next boot' "$WORK/dpkg.out" ||
    fail "the installation did not say that the service starts at the next boot: $(tail -n 3 "$WORK/dpkg.out")"
  if command -v systemd-analyze >/dev/null; then
    systemd-analyze verify "$UNIT" >"$WORK/verify.out" 2>&1 || fail "systemd-analyze verify: $(grep -v '^$' "$WORK/verify.out" | head -5)"
    grep -i 'kvlisten.service' "$WORK/verify.out" && fail "systemd-analyze complains about the unit: $(cat "$WORK/verify.out")"
  fi
  # The Redis event manager loads with the libraries the package depends on.
  KVLUMEN_REGISTRY=$WORK/redis.reg $PREFIX/bin/kvregsvr /s $MODULES/KVEvRedis.so || fail "kvregsvr cannot load KVEvRedis.so"
}

host_announced_or_gone() { grep -q '^kvlisten: listening on port ' "$HOST_ERR" || process_gone "$HOST_PID"; }
# start_host [setpriv ...] [kvlisten options]: the installed kvlisten in the background.
start_host() {
  : >"$HOST_ERR"
  "$@" >/dev/null 2>"$HOST_ERR" </dev/null &
  HOST_PID=$!
  wait_until 15 host_announced_or_gone
  grep -q "^kvlisten: listening on port $PORT " "$HOST_ERR" || { fail "kvlisten did not listen on $PORT"; return 1; }
}
stop_host() {
  local pid=$HOST_PID
  HOST_PID=""
  ends_cleanly "$pid" TERM "$1"
}
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
  start_host $PREFIX/bin/kvlisten --registry "$own" || return 1
  grep -qF "registry $own" "$HOST_ERR" || fail "kvlisten does not use the store it was given"
  local before
  before=$(spool_count "$SPOOL")
  curl_printer installed "$SAMPLE" -H 'Content-Type: text/xml' || fail "curl exited $?"
  check_response "$WORK/responses/installed" "installed kvlisten"
  check_spooled "$SPOOL" "$before" "$SAMPLE" "installed kvlisten"
  stop_host "the installed kvlisten"
}

# The README's commands for the installed package: its lines indented by four blanks outside
# fenced blocks that need the package (see tests/e2e/readme_e2e.sh, which runs the others).
readme_package_commands() {
  awk '/^```/ { fenced = !fenced; next } !fenced && /^    [^ ]/ { sub(/^    /, ""); print }' "$SRC/README.md" |
    grep -E '^(sudo |systemctl |journalctl |packaging/build-deb.sh|grep -c |ls /var/|ls -l /dev/shm)'
}

# Each of them, as the README has it: configuring the machine's store, running kvlisten by hand
# as the service user (on a free port instead of the README's), counting events, looking into
# the spool and /dev/shm. systemctl and journalctl need a running systemd; elsewhere they are
# shown as skipped.
case_readme_commands() {
  local command port=$(free_port "$ADDRESS") out rc hand=""
  while IFS= read -r command; do
    case $command in
      "sudo apt install "*) continue ;;  # the first installation ran it
      packaging/build-deb.sh*)
        [[ -f $SRC/build/package/$(basename "$DEB") ]] || fail "the package was not built by $command"
        continue ;;
      *systemctl\ *|*journalctl\ *)
        if [[ ! -d /run/systemd/system ]]; then echo "    SKIPPED (systemd does not run here): $command"; continue; fi ;;
      "sudo runuser "*)
        command=${command//--port 9090/--port $port}
        echo "    README: $command"
        bash -c "exec ${command#sudo }" >/dev/null 2>"$HOST_ERR" </dev/null &
        HOST_PID=$!
        hand=$HOST_PID
        PORT_SAVED=$PORT
        PORT=$port
        wait_until 15 host_announced_or_gone
        grep -q "^kvlisten: listening on port $port " "$HOST_ERR" || fail "'$command' did not listen: $(cat "$HOST_ERR")"
        curl_printer readme "$SAMPLE" -H 'Content-Type: text/xml' || fail "curl to the hand-run kvlisten exited $?"
        check_response "$WORK/responses/readme" "the hand-run kvlisten"
        PORT=$PORT_SAVED
        continue ;;
    esac
    echo "    README: $command"
    out=$(bash -c "${command#sudo }" 2>&1 </dev/null)
    rc=$?
    [[ $rc -eq 0 ]] || fail "'$command' exited $rc: $(head -c 300 <<<"$out")"
    case $command in
      "grep -c "*) [[ $out -ge 1 ]] || fail "'$command' counted $out events" ;;
      "ls /var/spool/"*) grep -q '^event-' <<<"$out" || fail "'$command' shows no event: $out" ;;
      *"kvreg query"*"/v ports") grep -qE 'ports +REG_SZ +8080,8081$' <<<"$out" || fail "'$command' said: $out" ;;
    esac
  done < <(readme_package_commands)
  if [[ -n $hand ]]; then
    # runuser ends its session with SIGTERM as killed; the service's own stop is SIGTERM to
    # kvlisten, after which runuser returns kvlisten's status.
    local child
    child=$(pgrep -P "$hand" -x kvlisten)
    [[ -n $child ]] && kill -TERM "$child"
    wait_until 10 process_gone "$hand" || fail "the hand-run kvlisten still runs 10 s after SIGTERM"
    wait "$hand"
    rc=$?
    [[ $rc -eq 0 ]] || fail "the hand-run kvlisten exited $rc"
    HOST_PID=""
  else
    fail "the README no longer shows how to run kvlisten by hand as the service user"
  fi
}

# A purge takes everything the installation made: nothing of it is left in /etc, /var or /dev/shm.
purge_and_compare() {  # BEFORE-SNAPSHOT
  dpkg_run --purge kvlumen || { fail "dpkg --purge failed: $(tail -n 5 "$WORK/dpkg.out")"; return 1; }
  INSTALLED=0
  local left
  left=$(left_behind "$1")
  [[ -z $left ]] || fail "left after the purge: $(tr '\n' ' ' <<<"$left")"
  getent passwd kvlumen >/dev/null && fail "the user kvlumen is left after the purge"
  getent group kvlumen >/dev/null && fail "the group kvlumen is left after the purge"
  KV_UID=""
}
case_purge_fresh() { purge_and_compare "$WORK/before-fresh.list"; }

# printer_loop FILE: one event every 50 ms until stopped, each answer's status a line of FILE.
printer_loop() {
  local out=$1
  while :; do
    curl -s -o /dev/null -w '%{http_code}\n' --max-time 10 --data-binary @"$SRC/samples/deliver.xml" \
      "http://$(url_host "$ADDRESS"):$PORT/" >>"$out" 2>/dev/null
    sleep 0.05
  done
}
answered() { grep -c '^200$' "$@" 2>/dev/null | awk -F: '{ s += $NF } END { print s + 0 }'; }
deliver_n() {  # N FILE: N events, each answer's status a line of FILE
  local i
  for i in $(seq "$1"); do
    curl -s -o /dev/null -w '%{http_code}\n' --max-time 10 --data-binary @"$SAMPLE" \
      "http://$(url_host "$ADDRESS"):$PORT/" >>"$2" 2>/dev/null
  done
}

# The previous version installed and configured by an administrator (spool mode, port, a limit,
# the log), its kvlisten running as the service user with events waiting in the spool; the new
# package is installed over it while printers keep sending. Every event answered 200, before,
# during and after, is in the spool once; the waiting ones are untouched; every setting stays.
case_upgrade() {
  snapshot >"$WORK/before-upgrade.list"
  INSTALLED=1
  dpkg_run -i "$OLD_DEB" || { fail "dpkg -i $OLD_DEB failed: $(tail -n 5 "$WORK/dpkg.out")"; return 1; }
  KV_UID=$(id -u kvlumen)
  chmod 3770 $MACHINE_SPOOL
  machine_reg add "$REG\\Listener" /v ports /t REG_SZ /d "$PORT" /f >/dev/null &&
    machine_reg add "$REG\\Listener" /v maxConnections /t REG_DWORD /d 100 /f >/dev/null &&
    machine_reg add "$REG\\Logging" /v KVLUMEN.EventListener /t REG_SZ /d "file,$MACHINE_LOG,4" /f >/dev/null ||
    fail "configuring the machine's store"
  machine_reg export "$REG" "$WORK/settings-before.reg" /y >/dev/null
  start_host "${AS_SERVICE[@]}" $PREFIX/bin/kvlisten || return 1
  deliver_n 5 "$WORK/codes-before"
  wait_until 10 spool_has_at_least $MACHINE_SPOOL 5
  (cd $MACHINE_SPOOL && md5sum event-*.xml) >"$WORK/waiting.md5"

  printer_loop "$WORK/codes-during" &
  PRINTER_PID=$!
  dpkg_run -i "$DEB" || fail "dpkg -i $DEB over $OLD_COMMIT failed: $(tail -n 5 "$WORK/dpkg.out")"
  sleep 0.5
  stop_process "$PRINTER_PID"
  PRINTER_PID=""
  stop_host "the previous kvlisten"
  [[ $(answered "$WORK/codes-during") -ge 1 ]] || fail "no event was answered during the upgrade"

  [[ $(stat -c '%U:%G %a' $MACHINE_SPOOL) == 'kvlumen:kvlumen 3770' ]] ||
    fail "the administrator's spool folder became $(stat -c '%U:%G %a' $MACHINE_SPOOL)"
  machine_reg export "$REG" "$WORK/settings-after.reg" /y >/dev/null
  cmp -s "$WORK/settings-before.reg" "$WORK/settings-after.reg" ||
    fail "the settings changed: $(diff "$WORK/settings-before.reg" "$WORK/settings-after.reg" | head -5)"
  (cd $MACHINE_SPOOL && md5sum --quiet -c "$WORK/waiting.md5") >/dev/null 2>&1 || fail "events that waited in the spool changed"

  start_host "${AS_SERVICE[@]}" $PREFIX/bin/kvlisten || return 1
  $PREFIX/bin/kvlisten --help | grep -q -- '--listen' || fail "not the new kvlisten: $PREFIX/bin/kvlisten has no --listen"
  deliver_n 5 "$WORK/codes-after"
  local expected
  expected=$(answered "$WORK/codes-before" "$WORK/codes-during" "$WORK/codes-after")
  wait_until 10 spool_has_at_least $MACHINE_SPOOL "$expected"
  sleep 0.3
  [[ $(spool_count $MACHINE_SPOOL) -eq $expected ]] ||
    fail "$expected events answered 200, $(spool_count $MACHINE_SPOOL) in the spool"
  local newest_waiting
  newest_waiting=$(awk '{ print $2 }' "$WORK/waiting.md5" | sort | tail -n 1)
  [[ $(find $MACHINE_SPOOL -name 'event-*.xml' | sort | tail -n 5 | head -n 1 | xargs basename) > $newest_waiting ]] ||
    fail "the new events are not numbered after the waiting ones"
  echo "    $expected events answered and spooled: 5 before, $(answered "$WORK/codes-during") during, 5 after the upgrade"
}

# The new kvlisten runs as the service user: its locks and log are the user's and the group's
# only; logrotate (without systemd) rotates the log and kvlisten writes on into the new file.
case_service_user_log() {
  [[ -n $HOST_PID ]] || { fail "no kvlisten from the upgrade case"; return 1; }
  local file
  for file in $(find /dev/shm -maxdepth 1 -uid "$KV_UID"); do
    [[ $(stat -c '%G %a' "$file") == 'kvlumen 660' ]] || fail "$file is $(stat -c '%U:%G %a' "$file")"
  done
  command -v logrotate >/dev/null || { fail "logrotate is not installed"; return 1; }
  logrotate -f -s "$WORK/logrotate.state" /etc/logrotate.d/kvlumen 2>"$WORK/logrotate.err" ||
    fail "logrotate failed: $(cat "$WORK/logrotate.err")"
  [[ -f $MACHINE_LOG.1 ]] || fail "logrotate did not rotate $MACHINE_LOG"
  local rotated
  rotated=$(stat -c %s "$MACHINE_LOG.1" 2>/dev/null)
  deliver_n 2 "$WORK/codes-rotated"
  wait_until 5 grep -q 'request from' "$MACHINE_LOG" || fail "kvlisten did not write into the new $MACHINE_LOG"
  [[ $(stat -c %s "$MACHINE_LOG.1" 2>/dev/null) == "$rotated" ]] || fail "kvlisten went on writing into $MACHINE_LOG.1"
  [[ $(stat -c '%U:%G %a' "$MACHINE_LOG") == 'kvlumen:kvlumen 660' ]] || fail "$MACHINE_LOG is $(stat -c '%U:%G %a' "$MACHINE_LOG")"
  stop_host "kvlisten as the service user"
  [[ -z $(find /dev/shm -maxdepth 1 -uid "$KV_UID") ]] || fail "kvlisten's locks outlived it: $(find /dev/shm -maxdepth 1 -uid "$KV_UID")"
}

# The event manager an administrator registered stays registered through an upgrade (here the
# same version installed again); removal unregisters our modules and keeps the settings; the
# purge leaves nothing.
case_remove_and_purge() {
  $PREFIX/bin/kvregsvr /s $MODULES/KVEvRedis.so || fail "kvregsvr /s KVEvRedis.so"
  dpkg_run -i "$DEB" || fail "dpkg -i $DEB again failed: $(tail -n 5 "$WORK/dpkg.out")"
  store_has "$MODULES/KVEvRedis.so" || fail "the administrator's Redis event manager was replaced on upgrade"
  dpkg_run -r kvlumen || { fail "dpkg -r failed: $(tail -n 5 "$WORK/dpkg.out")"; return 1; }
  [[ -e $PREFIX/bin/kvlisten ]] && fail "kvlisten is still installed"
  local name
  for name in KVLUMEN.Listener KVLUMEN.EventManagerEx KVEvLsn.so KVEvSpool.so KVEvRedis.so; do
    store_has "$name" && fail "$name is still registered in $STORE"
  done
  store_has "\"ports\"=\"$PORT\"" || fail "the settings did not survive the removal"
  purge_and_compare "$WORK/before-upgrade.list"
}

echo "package_test: work folder $WORK"
ADDRESS=$(listener_address) || { echo "0 passed, 1 failed"; exit 1; }
PORT=$(free_port "$ADDRESS") || { echo "package_test: no free port"; echo "0 passed, 1 failed"; exit 1; }
run_case Package.LintianFindsNoError case_lintian
if [[ -f $DEB && -f $OLD_DEB ]]; then
  run_case Package.FirstInstallation case_fresh_install
  [[ $INSTALLED -eq 1 ]] && run_case Package.InstalledHostDelivers case_installed_host_delivers
  [[ $INSTALLED -eq 1 ]] && run_case Package.ReadmeCommandsWork case_readme_commands
  [[ $INSTALLED -eq 1 ]] && run_case Package.PurgeLeavesNothing case_purge_fresh
  if [[ $INSTALLED -eq 0 ]]; then
    run_case Package.UpgradeKeepsEventsAndSettings case_upgrade
    run_case Package.ServiceUserLogRotates case_service_user_log
    [[ $INSTALLED -eq 1 ]] && run_case Package.RemoveUnregistersPurgeCleans case_remove_and_purge
  fi
fi
e2e_summary
