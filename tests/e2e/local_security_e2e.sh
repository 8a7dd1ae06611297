#!/usr/bin/env bash
# local_security_e2e.sh -- a local user outside the component's group can neither stall nor silence kvlisten, and what a root run leaves behind does not fail the service user.
#
#   local_security_e2e.sh BIN_DIR SOURCE_DIR
#
# Runs as root and plays the other users with setpriv: `nobody` (group nogroup) as the outsider,
# and `nobody` in the group daemon, made the component's group (KVLUMEN_GROUP=daemon), as the
# package's service user. Talks to loopback only; ends every process it started. Elsewhere it
# says SKIPPED. Prints one line per case, then "N passed, N failed".
set -uo pipefail

BIN=$(cd "${1:?usage: local_security_e2e.sh BIN_DIR SOURCE_DIR}" && pwd) || exit 2
SRC=$(cd "${2:?usage: local_security_e2e.sh BIN_DIR SOURCE_DIR}" && pwd) || exit 2
source "$SRC/tests/e2e/e2e_lib.sh"

if [[ $(id -u) -ne 0 ]] || ! command -v setpriv >/dev/null; then
  echo "local_security_e2e: SKIPPED (playing other users needs root and setpriv)"
  echo "[  SKIPPED ] 2 tests"
  echo "0 passed, 0 failed, 2 skipped"
  exit 0
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/kv-e2e-security.XXXXXX") || exit 2
chmod 0755 "$WORK"
bin_for_other_users "$WORK/bin" || { echo "local_security_e2e: cannot copy the build for other users"; exit 2; }
export KVLUMEN_REGISTRY=$WORK/registry.reg
export KVLUMEN_GROUP=daemon
SPOOL=$WORK/spool
LOG=$WORK/component.log
mkdir -p "$SPOOL" "$WORK/responses"
HOST_PID=""
HOST_ERR=$WORK/kvlisten.err
REG='HKLM\SOFTWARE\Korvane\KVLumen'
# The names of this run's files in /dev/shm carry the work folder's name, lower case, with '_'
# for what is no letter or digit.
TOKEN=$(basename "$WORK" | tr 'A-Z.-' 'a-z__')

cleanup() {
  stop_process "$HOST_PID"
  local file
  for file in $(run_shm_files); do rm -f "$file"; done
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'echo "local_security_e2e: interrupted"; exit 130' INT TERM

e2e_diagnose() {
  echo "kvlisten stderr:"; tail -n 15 "$HOST_ERR" 2>/dev/null
  echo "/dev/shm files of this run:"; run_shm_files | xargs -r ls -l
  echo "component log:"; tail -n 10 "$LOG" 2>/dev/null
}

run_shm_files() {
  local file
  for file in /dev/shm/kvmutex.*; do
    [[ -e $file ]] || continue
    [[ $(basename "$file" | tr 'A-Z.-' 'a-z__') == *"$TOKEN"* ]] && echo "$file"
  done
}
as_nobody() { setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"; }
AS_MEMBER=(setpriv --reuid=nobody --regid=daemon --clear-groups)

ADDRESS=$(listener_address) || { echo "0 passed, 1 failed"; exit 1; }
PORT=$(free_port "$ADDRESS") || { echo "local_security_e2e: no free port"; echo "0 passed, 1 failed"; exit 1; }
"$BIN/kvregsvr" /s "$BIN/KVEvLsn.so" && "$BIN/kvregsvr" /s "$BIN/KVEvSpool.so" || { echo "0 passed, 1 failed"; exit 1; }
"$BIN/kvreg" add "$REG\\Listener" /v ports /t REG_SZ /d "$PORT" /f >/dev/null
"$BIN/kvreg" add "$REG\\EventManager" /v spool /t REG_SZ /d "$SPOOL" /f >/dev/null
"$BIN/kvreg" add "$REG\\Logging" /v KVLUMEN.EventListener /t REG_SZ /d "file,$LOG,4" /f >/dev/null
chmod 0644 "$KVLUMEN_REGISTRY"

# start_host [setpriv ...]: kvlisten as root, or as setpriv's user (setpriv execs, so the pid is
# kvlisten's).
start_host() {
  : >"$HOST_ERR"
  "$@" "$BIN/kvlisten" >/dev/null 2>>"$HOST_ERR" </dev/null &
  HOST_PID=$!
  wait_until 15 host_announced_or_gone
  grep -q "^kvlisten: listening on port $PORT " "$HOST_ERR" || { fail "kvlisten did not listen on $PORT"; return 1; }
}
host_announced_or_gone() { grep -q '^kvlisten: listening on port ' "$HOST_ERR" || process_gone "$HOST_PID"; }

# deliver_quickly N LABEL: N events, each answered 200 within a second and spooled; the log gains
# a line for each.
deliver_quickly() {
  local n=$1 label=$2 i before lines started ms
  before=$(spool_count "$SPOOL")
  lines=$(grep -c 'KVLUMEN.EventListener::' "$LOG" 2>/dev/null || echo 0)
  for i in $(seq "$n"); do
    started=$(date +%s%N)
    curl -s -o "$WORK/responses/r" -w '%{http_code}' --max-time 10 --data-binary @"$SRC/samples/deliver.xml" \
      "http://$(url_host "$ADDRESS"):$PORT/" >"$WORK/responses/code" 2>/dev/null
    ms=$((($(date +%s%N) - started) / 1000000))
    [[ $(cat "$WORK/responses/code") == 200 ]] || fail "$label: event $i answered $(cat "$WORK/responses/code")"
    [[ $ms -lt 1000 ]] || fail "$label: event $i took $ms ms"
  done
  wait_until 10 spool_has_at_least "$SPOOL" $((before + n)) || fail "$label: $n events, the spool went from $before to $(spool_count "$SPOOL")"
  local now
  now=$(grep -c 'KVLUMEN.EventListener::' "$LOG" 2>/dev/null || echo 0)
  [[ $now -ge $((lines + n)) ]] || fail "$label: the log went from $lines to $now lines for $n events: silenced"
  grep -q 'The handle is invalid' "$LOG" && fail "$label: the log reports an invalid handle"
  return 0
}

# The attack that stalled every request for 2 s and silenced the log: a user outside the group
# writes into the listener's mutexes, or plants files under their names before it starts.
case_outsider() {
  start_host || return 1
  deliver_quickly 1 "before the outsider"
  local files file
  files=$(run_shm_files)
  [[ -n $files ]] || fail "no mutex file of this run in /dev/shm"
  for file in $files "$LOG"; do
    [[ $(stat -c %a "$file") == 660 && $(stat -c %G "$file") == daemon ]] ||
      fail "$file is $(stat -c '%U:%G %a' "$file"), not the maker's and the group's (660)"
    as_nobody sh -c "printf 'xxxxxxxx' >>'$file'" 2>/dev/null && fail "nobody could write into $file"
  done
  deliver_quickly 5 "after the outsider's writes"
  ends_cleanly "$HOST_PID" TERM kvlisten
  HOST_PID=""
  [[ -z $(run_shm_files) ]] || fail "the mutex files outlived kvlisten: $(run_shm_files)"

  # The outsider plants garbage under the same names and keeps the files open with a lock, as
  # if a mutex of theirs lived there.
  local planter
  as_nobody perl -e '
    my @held;
    for my $file (@ARGV) {
      umask 0;
      open(my $fh, "+>", $file) or die "$file: $!\n";
      syswrite($fh, "xxxxxxxx");
      # F_OFD_SETLK (37) with a read lock over the whole file.
      my $lock = pack("s s x4 q q i x4", 0, 0, 0, 0, 0);
      fcntl($fh, 37, $lock) or die "lock $file: $!\n";
      push @held, $fh;
    }
    print STDERR "planted\n";
    sleep 60;' $files 2>"$WORK/planter.err" &
  planter=$!
  wait_until 5 grep -q planted "$WORK/planter.err" || fail "nobody could not plant the files: $(cat "$WORK/planter.err")"
  start_host || { kill "$planter" 2>/dev/null; return 1; }
  deliver_quickly 5 "with the outsider's files planted and held"
  grep -q "kvposix: the named mutex .* cannot use /dev/shm/kvmutex" "$HOST_ERR" ||
    fail "kvlisten did not say which planted file it could not use"
  ends_cleanly "$HOST_PID" TERM kvlisten
  HOST_PID=""
  kill "$planter" 2>/dev/null
  wait "$planter" 2>/dev/null
  for file in $files; do rm -f "$file"; done
}

# A root run killed with its mutexes open leaves their files, which the sticky /dev/shm keeps
# from other users. The service user (here nobody in the group) delivers all the same.
case_root_leftovers() {
  # A spool folder shared with the group, as the package makes it.
  SPOOL=$WORK/shared-spool
  mkdir -p "$SPOOL" && chgrp daemon "$SPOOL" && chmod 2770 "$SPOOL"
  "$BIN/kvreg" add "$REG\\EventManager" /v spool /t REG_SZ /d "$SPOOL" /f >/dev/null
  start_host || return 1
  deliver_quickly 1 "as root"
  kill -KILL "$HOST_PID"
  wait "$HOST_PID" 2>/dev/null
  HOST_PID=""
  local left
  left=$(run_shm_files)
  [[ -n $left ]] || fail "the killed root run left no file (nothing tested)"
  start_host "${AS_MEMBER[@]}" || return 1
  deliver_quickly 5 "as the service user after root's run"
  local file
  for file in $left; do [[ -e $file ]] || fail "$file was replaced rather than reused"; done
  ends_cleanly "$HOST_PID" TERM "kvlisten as the service user"
  HOST_PID=""
}

run_case LocalSecurity.OutsiderCanNeitherStallNorSilence case_outsider
run_case LocalSecurity.RootLeftoversDoNotFailTheServiceUser case_root_leftovers
e2e_summary
