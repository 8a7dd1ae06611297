#!/usr/bin/env bash
# host_options_e2e.sh -- kvlisten and kvreg name the real cause of what keeps them from working, and kvlisten listens where --port and --listen ask.
#
#   host_options_e2e.sh BIN_DIR SOURCE_DIR
#
# Every run has a registry store and spool folder of its own in a temporary folder, talks to
# loopback only and ends every process it started. Playing another user (an unreadable store)
# needs root and setpriv; elsewhere that check says SKIPPED. Prints one line per case, then
# "N passed, N failed".
set -uo pipefail

BIN=$(cd "${1:?usage: host_options_e2e.sh BIN_DIR SOURCE_DIR}" && pwd) || exit 2
SRC=$(cd "${2:?usage: host_options_e2e.sh BIN_DIR SOURCE_DIR}" && pwd) || exit 2
source "$SRC/tests/e2e/e2e_lib.sh"

WORK=$(mktemp -d "${TMPDIR:-/tmp}/kv-e2e-options.XXXXXX") || exit 2
chmod 0755 "$WORK"
export KVLUMEN_REGISTRY=$WORK/registry.reg
SPOOL=$WORK/spool
mkdir -p "$SPOOL" "$WORK/responses"
HOST_PID=""
HOLDER_PID=""
HOST_ERR=$WORK/kvlisten.err
REG='HKLM\SOFTWARE\Korvane\KVLumen'

cleanup() {
  stop_process "$HOST_PID"
  stop_process "$HOLDER_PID"
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'echo "host_options_e2e: interrupted"; exit 130' INT TERM

e2e_diagnose() { echo "kvlisten stderr:"; tail -n 12 "$HOST_ERR" 2>/dev/null; }

ADDRESS=$(listener_address) || { echo "0 passed, 1 failed"; exit 1; }
"$BIN/kvregsvr" /s "$BIN/KVEvLsn.so" && "$BIN/kvregsvr" /s "$BIN/KVEvSpool.so" || { echo "0 passed, 1 failed"; exit 1; }
"$BIN/kvreg" add "$REG\\EventManager" /v spool /t REG_SZ /d "$SPOOL" /f >/dev/null

set_ports() { "$BIN/kvreg" add "$REG\\Listener" /v ports /t REG_SZ /d "$1" /f >/dev/null; }

# run_host_briefly OPTIONS...: kvlisten that is expected to refuse; its status is printed.
run_host_briefly() {
  timeout 20 "$BIN/kvlisten" "$@" >/dev/null 2>"$HOST_ERR" </dev/null
  echo $?
}

# A store that is missing or unreadable is said as such, never as "not registered" or a key
# that is not there.
case_store() {
  local missing=$WORK/none.reg rc out
  rc=$(KVLUMEN_REGISTRY=$missing run_host_briefly)
  [[ $rc -eq 1 ]] || fail "kvlisten with a missing store exited $rc, not 1"
  grep -qF "error: the registry store \"$missing\" does not exist" "$HOST_ERR" || fail "missing store: $(cat "$HOST_ERR")"
  grep -q 'not registered' "$HOST_ERR" && fail "a missing store was reported as 'not registered'"
  out=$(KVLUMEN_REGISTRY=$missing "$BIN/kvreg" query "$REG" /s 2>&1)
  rc=$?
  [[ $rc -eq 1 && $out == *"The registry store \"$missing\" does not exist"* ]] || fail "kvreg query, missing store: $rc $out"
  [[ -e $missing ]] && fail "kvreg query made the missing store"

  if [[ $(id -u) -ne 0 ]] || ! command -v setpriv >/dev/null; then
    echo "    SKIPPED: an unreadable store (playing another user needs root and setpriv)"
    return 0
  fi
  bin_for_other_users "$WORK/bin" || fail "the build could not be copied for another user"
  local closed=$WORK/closed.reg
  cp "$KVLUMEN_REGISTRY" "$closed" && chmod 0600 "$closed"
  local nobody=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
  KVLUMEN_REGISTRY=$closed timeout 20 "${nobody[@]}" "$BIN/kvlisten" >/dev/null 2>"$HOST_ERR" </dev/null
  rc=$?
  [[ $rc -eq 1 ]] || fail "kvlisten with an unreadable store exited $rc, not 1"
  grep -qF "error: the registry store \"$closed\" cannot be read by user nobody: Permission denied (it is user root" "$HOST_ERR" ||
    fail "unreadable store: $(cat "$HOST_ERR")"
  out=$(KVLUMEN_REGISTRY=$closed "${nobody[@]}" "$BIN/kvreg" query "$REG" /s 2>&1)
  [[ $out == *"cannot be read by user nobody: Permission denied"* ]] || fail "kvreg query, unreadable store: $out"
}

# Entries the listener does not take are named for what they are, not as ports "taken
# meanwhile by another program"; an empty or deleted value is an error like a busy port, and
# --any-port keeps the port the system chose with a warning.
case_ports_diagnosed() {
  local rc
  set_ports " 8080"
  rc=$(run_host_briefly)
  [[ $rc -eq 1 ]] || fail "\" 8080\": exited $rc, not 1"
  grep -qF '" 8080": not a port number: the listener takes the digits alone, without blanks ("8080")' "$HOST_ERR" ||
    fail "\" 8080\" not named: $(cat "$HOST_ERR")"
  set_ports "http-alt"
  rc=$(run_host_briefly)
  [[ $rc -eq 1 ]] || fail "http-alt: exited $rc, not 1"
  grep -qF '"http-alt": a service name (port 8080 in the services file), which the listener does not look up: write 8080' \
    "$HOST_ERR" || fail "http-alt not named: $(cat "$HOST_ERR")"
  grep -q 'taken meanwhile' "$HOST_ERR" && fail "a service name was reported as taken meanwhile"

  set_ports ""
  rc=$(run_host_briefly)
  [[ $rc -eq 1 ]] || fail "an empty ports value: exited $rc, not 1"
  grep -qF 'error: no port is configured: HKLM\SOFTWARE\Korvane\KVLumen\Listener "ports" is empty' "$HOST_ERR" ||
    fail "empty value not said: $(cat "$HOST_ERR")"
  "$BIN/kvreg" delete "$REG\\Listener" /v ports /f >/dev/null
  rc=$(run_host_briefly)
  [[ $rc -eq 1 ]] || fail "a deleted ports value: exited $rc, not 1"
  grep -qF '"ports" is missing' "$HOST_ERR" || fail "deleted value not said: $(cat "$HOST_ERR")"

  "$BIN/kvlisten" --any-port >/dev/null 2>"$HOST_ERR" </dev/null &
  HOST_PID=$!
  wait_until 15 grep -q '^kvlisten: listening on port' "$HOST_ERR" || { fail "--any-port: nothing announced: $(cat "$HOST_ERR")"; return 1; }
  grep -q '^kvlisten: warning: no port is configured' "$HOST_ERR" || fail "--any-port: no warning: $(cat "$HOST_ERR")"
  ends_cleanly "$HOST_PID" TERM "kvlisten --any-port"
  HOST_PID=""
}

host_listening() { grep -q '^kvlisten: listening on port ' "$HOST_ERR" || process_gone "$HOST_PID"; }
deliver_at() {  # address port label
  local before
  before=$(spool_count "$SPOOL")
  curl -s -g -i --max-time 20 --data-binary @"$SRC/samples/deliver.xml" "http://$(url_host "$1"):$2/" \
    >"$WORK/responses/$3" 2>/dev/null || fail "$3: curl to $1:$2 exited $?"
  check_response "$WORK/responses/$3" "$3"
  check_spooled "$SPOOL" "$before" "$SRC/samples/deliver.xml" "$3"
}

# --port overrides the registry's list, tried in the order given: the first is busy, so the
# listener takes the second; the registry's own port is not used.
case_port_option() {
  local busy second registry_port
  busy=$(free_port "$ADDRESS") && second=$(free_port "$ADDRESS") && registry_port=$(free_port "$ADDRESS") ||
    { fail "no free ports"; return 1; }
  set_ports "$registry_port"
  perl -MIO::Socket::IP -e '$s = IO::Socket::IP->new(LocalHost => $ARGV[0], LocalPort => $ARGV[1], Listen => 1) or exit 1;
                            print "ready\n"; STDOUT->flush; sleep 60' "$ADDRESS" "$busy" >"$WORK/holder" &
  HOLDER_PID=$!
  wait_until 10 grep -q ready "$WORK/holder" || { fail "could not occupy port $busy"; return 1; }
  "$BIN/kvlisten" --port "$busy" --port="$second" >/dev/null 2>"$HOST_ERR" </dev/null &
  HOST_PID=$!
  wait_until 15 host_listening
  grep -q "^kvlisten: listening on port $second " "$HOST_ERR" || fail "not listening on --port $second: $(cat "$HOST_ERR")"
  deliver_at "$ADDRESS" "$second" port-option
  curl -s --max-time 5 -o /dev/null "http://$(url_host "$ADDRESS"):$registry_port/"
  [[ $? -eq 7 ]] || fail "something answers on the registry's port $registry_port"
  ends_cleanly "$HOST_PID" TERM "kvlisten --port"
  HOST_PID=""
  stop_process "$HOLDER_PID"
  HOLDER_PID=""
}

# --listen puts the listener on the addresses given instead of the host name's: 0.0.0.0 answers
# on every loopback address of IPv4 (127.0.0.1 and 127.0.1.1 alike), and a single address only
# there.
case_listen_option() {
  local port
  port=$(free_port 127.0.0.1) || { fail "no free port"; return 1; }
  "$BIN/kvlisten" --port "$port" --listen 0.0.0.0 >/dev/null 2>"$HOST_ERR" </dev/null &
  HOST_PID=$!
  wait_until 15 host_listening
  grep -q "^kvlisten: listening on port $port at 0.0.0.0 (--listen)" "$HOST_ERR" || fail "--listen 0.0.0.0: $(cat "$HOST_ERR")"
  deliver_at 127.0.0.1 "$port" listen-any-1
  deliver_at 127.0.0.2 "$port" listen-any-2
  ends_cleanly "$HOST_PID" TERM "kvlisten --listen 0.0.0.0"

  "$BIN/kvlisten" --port "$port" --listen 127.0.0.2 >/dev/null 2>"$HOST_ERR" </dev/null &
  HOST_PID=$!
  wait_until 15 host_listening
  grep -q "^kvlisten: listening on port $port at 127.0.0.2 (--listen)" "$HOST_ERR" || fail "--listen 127.0.0.2: $(cat "$HOST_ERR")"
  deliver_at 127.0.0.2 "$port" listen-one
  curl -s --max-time 5 -o /dev/null "http://127.0.0.1:$port/"
  [[ $? -eq 7 ]] || fail "--listen 127.0.0.2 also answers on 127.0.0.1"
  ends_cleanly "$HOST_PID" TERM "kvlisten --listen 127.0.0.2"
  HOST_PID=""
}

run_case Diagnosis.StoreMissingOrUnreadable case_store
run_case Diagnosis.PortsNamedForWhatTheyAre case_ports_diagnosed
run_case Options.PortOverridesTheRegistry case_port_option
run_case Options.ListenWhereAsked case_listen_option
e2e_summary
