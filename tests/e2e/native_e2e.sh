#!/usr/bin/env bash
# native_e2e.sh -- end-to-end tests of the POSIX build with real clients: curl as the printer, kvlisten as the host, KVEvSpool as the event manager.
#
#   native_e2e.sh BIN_DIR SOURCE_DIR
#
# BIN_DIR holds kvlisten, kvreg, kvregsvr, KVEvLsn.so and KVEvSpool.so. The run keeps everything
# it configures in a temporary folder of its own (registry store, spool folder, component log),
# talks to loopback only, and ends every process it started, also when it is interrupted.
# Prints one line per case, then "N passed, N failed"; exits non-zero when a case failed.
set -uo pipefail

BIN=$(cd "${1:?usage: native_e2e.sh BIN_DIR SOURCE_DIR}" && pwd) || exit 2
SRC=$(cd "${2:?usage: native_e2e.sh BIN_DIR SOURCE_DIR}" && pwd) || exit 2
source "$SRC/tests/e2e/e2e_lib.sh"

for tool in kvlisten kvreg kvregsvr KVEvLsn.so KVEvSpool.so; do
  [[ -e $BIN/$tool ]] || { echo "native_e2e: $BIN/$tool was not built"; echo "0 passed, 1 failed"; exit 1; }
done
command -v curl >/dev/null || { echo "native_e2e: curl is not installed"; echo "0 passed, 1 failed"; exit 1; }

WORK=$(mktemp -d "${TMPDIR:-/tmp}/kv-e2e-native.XXXXXX") || exit 2
export KVLUMEN_REGISTRY=$WORK/registry.reg
SPOOL=$WORK/spool
LOG=$WORK/component.log
mkdir -p "$SPOOL" "$WORK/bodies" "$WORK/responses"
HOST_PID=""
HOST_OUT=$WORK/kvlisten-1.out
HOST_ERR=$WORK/kvlisten-1.err
NOTIFY_PID=""
NOTIFIED=$WORK/notified
HOST_LAUNCH=()  # a command that starts kvlisten (prlimit ...), or nothing
CLIENT_PIDS=()
ADDRESS=""
PORT=""
CONFIGURED_PORT=""
HOSTS_STARTED=0

cleanup() {
  local pid
  for pid in "${CLIENT_PIDS[@]}"; do stop_process "$pid"; done
  stop_process "$HOST_PID"
  stop_process "$NOTIFY_PID"
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'echo "native_e2e: interrupted"; exit 130' INT TERM

e2e_diagnose() {
  echo "kvlisten stdout ($HOST_OUT):"
  tail -n 20 "$HOST_OUT" 2>/dev/null
  echo "kvlisten stderr:"
  tail -n 20 "$HOST_ERR" 2>/dev/null
  echo "component log, last lines without the trace scopes' entry and exit lines:"
  grep -v -e '::ENTER ' -e '::EXIT: ' "$LOG" 2>/dev/null | tail -n 25
}

# The failures and warnings cases provoke: the event manager's class cannot be found once it is
# unregistered (level 1), and the limits' refusals and time-outs, the connection limit (level 2).
PROVOKED_FAILURE='PlatformServices::CreateInstance\(\) (unable to resolve CLSID|returning FAIL\.)|Failed to create instance of KVLUMEN\.EventManagerEx'
PROVOKED_FAILURE="$PROVOKED_FAILURE|$PROVOKED_BY_LIMITS|connections are being served"
REG='HKLM\SOFTWARE\Korvane\KVLumen'

# Starts kvlisten in the background with fresh output files (its own lines go to stderr). A
# service manager's notification socket records what it tells systemd.
start_host() {
  HOSTS_STARTED=$((HOSTS_STARTED + 1))
  HOST_OUT=$WORK/kvlisten-$HOSTS_STARTED.out
  HOST_ERR=$WORK/kvlisten-$HOSTS_STARTED.err
  NOTIFY_SOCKET=$WORK/notify ${HOST_LAUNCH[@]+"${HOST_LAUNCH[@]}"} "$BIN/kvlisten" "$@" >"$HOST_OUT" 2>"$HOST_ERR" </dev/null &
  HOST_PID=$!
}
host_announced_or_gone() { grep -q '^kvlisten: listening on port ' "$HOST_ERR" || process_gone "$HOST_PID"; }
announced_port() { sed -n 's/^kvlisten: listening on port \([0-9]*\) .*/\1/p' "$HOST_ERR" | head -n 1; }
host_errors() { grep -E '^kvlisten: error:' "$HOST_ERR"; }

# Plays systemd's side of Type=notify: every datagram on $WORK/notify becomes a line of $NOTIFIED.
start_notify_listener() {
  rm -f "$WORK/notify"
  : >"$NOTIFIED"
  perl -MIO::Socket::UNIX -MSocket -e '
    my ($path, $out) = @ARGV;
    my $s = IO::Socket::UNIX->new(Type => SOCK_DGRAM, Local => $path) or die "notify socket: $!";
    open(my $fh, ">>", $out) or die;
    $fh->autoflush(1);
    while (defined(my $peer = $s->recv(my $message, 4096))) { $message =~ s/\n/ /g; print $fh "$message\n" }' \
    "$WORK/notify" "$NOTIFIED" &
  NOTIFY_PID=$!
  wait_until 5 test -S "$WORK/notify"
}
notified() { grep -q "$1" "$NOTIFIED"; }

# curl_printer NAME BODY [curl options...]: sends BODY as the printer does and keeps what curl
# printed (headers included) in responses/NAME.
curl_printer() {
  local name=$1 body=$2
  shift 2
  curl -s -i --max-time 30 "$@" --data-binary @"$body" "http://$(url_host "$ADDRESS"):$PORT/" \
    >"$WORK/responses/$name" 2>"$WORK/responses/$name.err"
}

need_host() {
  [[ -n $PORT ]] && kill -0 "$HOST_PID" 2>/dev/null && return 0
  fail "kvlisten is not running (see the first failed case)"
  return 1
}

# ---- cases ----------------------------------------------------------------------------------------

# kvregsvr /s registers both modules silently, and each ProgID then leads to its module.
case_registration() {
  local module out rc
  for module in KVEvLsn.so KVEvSpool.so; do
    out=$("$BIN/kvregsvr" /s "$BIN/$module" 2>&1)
    rc=$?
    [[ $rc -eq 0 ]] || fail "kvregsvr /s $module exited $rc: $out"
    [[ -z $out ]] || fail "kvregsvr /s $module printed: $out"
  done
  out=$("$BIN/kvreg" query 'HKCR\KVLUMEN.Listener\CLSID' 2>&1)
  grep -q '{9B381916-211D-4356-AB98-88F3AA3275E5}' <<<"$out" || fail "HKCR\\KVLUMEN.Listener\\CLSID: $out"
  out=$("$BIN/kvreg" query 'HKCR\CLSID\{9B381916-211D-4356-AB98-88F3AA3275E5}\InprocServer32' 2>&1)
  grep -qF "$BIN/KVEvLsn.so" <<<"$out" || fail "the listener's InprocServer32 does not name $BIN/KVEvLsn.so: $out"
  out=$("$BIN/kvreg" query 'HKCR\KVLUMEN.EventManagerEx\CLSID' 2>&1)
  grep -q '{' <<<"$out" || fail "HKCR\\KVLUMEN.EventManagerEx has no CLSID: $out"
}

# kvreg stores the port, the spool folder and the log, and reads them back.
case_configuration() {
  ADDRESS=$(listener_address) || { fail "no loopback address for the host name"; return 1; }
  local port out
  port=$(free_port "$ADDRESS") || { fail "no free port found on $ADDRESS"; return 1; }
  "$BIN/kvreg" add "$REG\\Listener" /v ports /t REG_SZ /d "$port" /f >/dev/null || fail "kvreg add ports"
  "$BIN/kvreg" add "$REG\\EventManager" /v spool /t REG_SZ /d "$SPOOL" /f >/dev/null || fail "kvreg add spool"
  "$BIN/kvreg" add "$REG\\Logging" /v KVLUMEN.EventListener /t REG_SZ /d "file,$LOG,5" /f >/dev/null ||
    fail "kvreg add logging"
  # Short limits, so that the cases about them stay fast.
  "$BIN/kvreg" add "$REG\\Listener" /v requestTimeoutMs /t REG_DWORD /d 1000 /f >/dev/null || fail "kvreg add requestTimeoutMs"
  "$BIN/kvreg" add "$REG\\Listener" /v maxRequestKB /t REG_DWORD /d 512 /f >/dev/null || fail "kvreg add maxRequestKB"
  "$BIN/kvreg" add "$REG\\Listener" /v maxConnections /t REG_DWORD /d 4 /f >/dev/null || fail "kvreg add maxConnections"
  out=$("$BIN/kvreg" query "$REG" /s 2>&1)
  grep -qE "ports +REG_SZ +$port\$" <<<"$out" || fail "ports not read back: $out"
  grep -qF "$SPOOL" <<<"$out" || fail "spool not read back: $out"
  CONFIGURED_PORT=$port
  echo "    address $ADDRESS, port $port"
}

# kvlisten starts, says "listening on port <n>" with the configured port and its addresses, keeps
# running and tells the service manager it is ready -- after it listens, not before.
case_host_starts() {
  start_notify_listener || { fail "the notification socket did not appear"; return 1; }
  start_host
  wait_until 15 host_announced_or_gone
  PORT=$(announced_port)
  if [[ -z $PORT ]]; then
    fail "kvlisten did not print 'listening on port <n>' within 15 s (running: $(kill -0 "$HOST_PID" 2>/dev/null && echo yes || echo no))"
    return 1
  fi
  [[ $PORT == "${CONFIGURED_PORT:-}" ]] || fail "kvlisten listens on $PORT, not on the configured port ${CONFIGURED_PORT:-}"
  kill -0 "$HOST_PID" 2>/dev/null || fail "kvlisten exited after announcing its port"
  [[ -z $(host_errors) ]] || fail "kvlisten reported errors: $(host_errors)"
  # It names the event manager in use, where it comes from, and whether it is ready.
  grep -qE "^kvlisten: event manager: KVLUMEN.EventManagerEx is \{5E1C3A3B-7A9D-4C61-9B8E-2F4D6A0C9E11\} \($BIN/KVEvSpool.so\); ready: spool folder $SPOOL: writable" "$HOST_ERR" ||
    fail "kvlisten did not name its event manager and its state: $(grep 'event manager' "$HOST_ERR")"
  grep -q "^kvlisten: listening on port $PORT at .*$ADDRESS" "$HOST_ERR" ||
    fail "the port line does not name the address $ADDRESS: $(grep 'listening on' "$HOST_ERR")"
  # Every address of this machine's host name is a loopback one (these tests need that): the
  # administrator must hear that printers cannot reach it.
  if ! getent ahosts "$(uname -n)" | awk '{ print $1 }' | grep -qvE '^(127\.|::1$)'; then
    grep -q '^kvlisten: warning: printers on the network cannot reach this listener' "$HOST_ERR" ||
      fail "no warning that only loopback addresses listen: $(cat "$HOST_ERR")"
  fi
  wait_until 5 notified "READY=1" || fail "the service manager was not told READY=1: $(cat "$NOTIFIED")"
  grep -q "STATUS=listening on port $PORT" "$NOTIFIED" || fail "no listening status for the service manager: $(cat "$NOTIFIED")"
}

# Length mode: curl gets exactly the 628-byte response, and the spool holds exactly the body.
case_length() {
  need_host || return 1
  local body=$WORK/bodies/length.xml before
  make_length_body "$body"
  before=$(spool_count "$SPOOL")
  curl_printer length "$body" -H 'Content-Type: text/xml' || fail "curl exited $?: $(cat "$WORK/responses/length.err")"
  check_response "$WORK/responses/length" "length mode"
  check_spooled "$SPOOL" "$before" "$body" "length mode"
}

# The README's command, with its sample file, run as the README shows it (only the port is ours):
# curl prints the DeliverResponse's body and the spool holds the sample byte for byte.
readme_case() {  # the README's header option
  need_host || return 1
  local header=$1 shown before out=$WORK/responses/readme-$RANDOM
  # The listener listens on the addresses of the host name, so that is where the README sends.
  shown="    curl --data-binary @samples/deliver.xml -H '$header' http://\$(hostname):8080/"
  grep -qxF -- "$shown" "$SRC/README.md" || fail "README.md no longer shows: $shown"
  before=$(spool_count "$SPOOL")
  # The README's command has no -s: its stderr holds the progress meter, and curl's error line.
  if ! (cd "$SRC" && timeout 30 curl --data-binary @samples/deliver.xml -H "$header" "http://$(hostname):$PORT/") \
    >"$out" 2>"$out.err"; then
    fail "the README's command failed: $(grep -a '^curl:' "$out.err" || tail -c 200 "$out.err")"
    return 1
  fi
  if [[ -n $E2E_REFERENCE_RESPONSE ]]; then
    cmp -s "$out" <(tail -c 460 "$E2E_REFERENCE_RESPONSE") ||
      fail "curl printed $(stat -c %s "$out") bytes, not the 460-byte DeliverResponse body: $(head -c 200 "$out")"
  else
    grep -q 'DeliverResponse' "$out" || fail "curl printed no DeliverResponse: $(head -c 200 "$out")"
  fi
  check_spooled "$SPOOL" "$before" "$SRC/samples/deliver.xml" "README sample"
}
# The README's length-mode command with the sample file delivers the sample byte for byte.
case_readme_length() { readme_case 'Content-Type: text/xml'; }
# The README's chunked-mode command with the sample file delivers the sample byte for byte.
case_readme_chunked() { readme_case 'Transfer-Encoding: chunked'; }

# Chunked mode, 300 KB sent by curl in several chunks: the 628-byte response, and exactly the body spooled.
case_chunked() {
  need_host || return 1
  send_chunked_request
}

# UTF-8 text and every byte value 0x01-0xFF arrive in the spool unchanged.
case_high_bytes() {
  need_host || return 1
  send_high_bytes_request
}

# A NUL in the body ends the message: the spool holds the bytes before it, the printer gets its 200.
case_nul_travels_in_the_body() {
  need_host || return 1
  local body=$WORK/bodies/nul.bin before
  # A UTF-16 SOAP message: every other byte is a NUL, and every byte is spooled.
  printf '<Deliver/>' | iconv -f ASCII -t UTF-16LE >"$body"
  printf '\0<after the NUL>' >>"$body"
  before=$(spool_count "$SPOOL")
  curl_printer nul "$body" -H 'Content-Type: text/xml; charset=utf-16' || fail "curl exited $?"
  check_response "$WORK/responses/nul" "NUL in the body"
  check_spooled "$SPOOL" "$before" "$body" "NUL in the body"
}

# Eight printers at once: each gets the response, and the spool holds each body exactly once.
case_concurrent() {
  need_host || return 1
  local i before pid rc=0 expected actual
  before=$(spool_count "$SPOOL")
  CLIENT_PIDS=()
  for i in 1 2 3 4 5 6 7 8; do
    { make_length_body "$WORK/bodies/c$i.xml"; echo "<Printer>$i</Printer>" >>"$WORK/bodies/c$i.xml"; }
  done
  for i in 1 2 3 4 5 6 7 8; do
    curl_printer "c$i" "$WORK/bodies/c$i.xml" -H 'Content-Type: text/xml' &
    CLIENT_PIDS+=($!)
  done
  for pid in "${CLIENT_PIDS[@]}"; do wait "$pid" || rc=$?; done
  CLIENT_PIDS=()
  [[ $rc -eq 0 ]] || fail "a curl exited $rc"
  for i in 1 2 3 4 5 6 7 8; do check_response "$WORK/responses/c$i" "printer $i"; done
  wait_until 15 spool_has_at_least "$SPOOL" $((before + 8)) || fail "only $(($(spool_count "$SPOOL") - before)) of 8 messages spooled within 15 s"
  expected=$(md5sum "$WORK"/bodies/c?.xml | awk '{ print $1 }' | sort)
  actual=$(find "$SPOOL" -maxdepth 1 -name 'event-*.xml' | sort | tail -n +$((before + 1)) | xargs md5sum | awk '{ print $1 }' | sort)
  [[ $expected == "$actual" ]] || fail "the spooled messages are not the eight bodies, each once"
}

# Only "ShutDownEvent" and a NUL: no response, the connection is closed, nothing is spooled.
case_wake_up_ignored() {
  need_host || return 1
  local before fd rc got
  before=$(spool_count "$SPOOL")
  if ! exec {fd}<>"/dev/tcp/$ADDRESS/$PORT"; then
    fail "cannot connect to $ADDRESS:$PORT"
    return 1
  fi
  printf 'ShutDownEvent\0' >&$fd
  timeout 10 cat <&$fd >"$WORK/responses/wakeup"
  rc=$?
  exec {fd}>&-
  got=$(stat -c %s "$WORK/responses/wakeup")
  [[ $rc -eq 0 ]] || fail "the listener did not close the connection within 10 s (timeout exit $rc)"
  [[ $got -eq 0 ]] || fail "the listener answered $got bytes: $(head -c 80 "$WORK/responses/wakeup")"
  sleep 1  # a faulty delivery would appear now
  [[ $(spool_count "$SPOOL") -eq $before ]] || fail "something was spooled: $(spool_newest "$SPOOL")"
}

# After a wake-up from outside the listener still serves the next printer.
case_wake_up_keeps_serving() {
  need_host || return 1
  deliver_sample after-wakeup "after the wake-up"
}

# A peer that connects and half-closes without sending a byte gets no answer, and nothing is spooled.
case_half_close() {
  need_host || return 1
  send_nothing_then_half_close
}

# curl writing its length field in lower case ("content-length: 460") delivers exactly the body.
case_lower_case_length() {
  need_host || return 1
  local before size
  size=$(stat -c %s "$SRC/samples/deliver.xml")
  before=$(spool_count "$SPOOL")
  curl_printer lower "$SRC/samples/deliver.xml" -H "content-length: $size" -H 'Content-Type: text/xml' || fail "curl exited $?"
  check_response "$WORK/responses/lower" "lower-case length"
  check_spooled "$SPOOL" "$before" "$SRC/samples/deliver.xml" "lower-case length"
}

# GET and HEAD are answered and never spooled.
case_get_and_head() {
  need_host || return 1
  send_get_and_head
}

# Over maxRequestKB: 413, nothing spooled.
case_oversize() {
  need_host || return 1
  send_oversize_request
}

# Expect: 100-continue is answered at once.
case_expect_continue() {
  need_host || return 1
  send_expect_continue
}

# With maxConnections (4) held by silent peers, a printer waits (without a thread) until one of them
# times out, and is served then; the limit is logged.
case_connection_limit() {
  need_host || return 1
  local i before entered pids=()
  before=$(spool_count "$SPOOL")
  entered=$(grep -c 'ENTER HandlingProc' "$LOG")
  : >"$WORK/bodies/nothing"
  for i in 1 2 3 4; do
    raw_exchange "$ADDRESS" "$PORT" 20 "$WORK/bodies/nothing" "$WORK/responses/holder-$i" &
    pids+=($!)
  done
  CLIENT_PIDS=("${pids[@]}")
  wait_until 10 eval '[[ $(grep -c "ENTER HandlingProc" "$LOG") -ge $((entered + 4)) ]]' ||
    fail "the four silent peers were not all taken"
  curl_printer limited "$SRC/samples/deliver.xml" -H 'Content-Type: text/xml' || fail "curl exited $?"
  check_response "$WORK/responses/limited" "at the connection limit"
  check_spooled "$SPOOL" "$before" "$SRC/samples/deliver.xml" "at the connection limit"
  for i in "${!pids[@]}"; do
    wait "${pids[$i]}" || fail "silent peer $((i + 1)) ended with $? (3: never closed)"
  done
  CLIENT_PIDS=()
  grep -q '4 connections are being served, the most maxConnections allows' "$LOG" || fail "the limit was not logged"
}

# With the spool event manager unregistered, the printer still gets its 200 and nothing is spooled.
case_missing_manager() {
  need_host || return 1
  local before out rc
  out=$("$BIN/kvregsvr" /u /s "$BIN/KVEvSpool.so" 2>&1)
  rc=$?
  [[ $rc -eq 0 && -z $out ]] || fail "kvregsvr /u /s KVEvSpool.so exited $rc: $out"
  "$BIN/kvreg" query 'HKCR\KVLUMEN.EventManagerEx' >/dev/null 2>&1 && fail "KVLUMEN.EventManagerEx is still registered"
  before=$(spool_count "$SPOOL")
  curl_printer missing "$SRC/samples/deliver.xml" -H 'Content-Type: text/xml' || fail "curl exited $?"
  check_response "$WORK/responses/missing" "no event manager"
  # The handler logs the failed creation after answering; then its delivery attempt is over.
  wait_until 10 grep -q 'Failed to create instance of EventManager' "$LOG" ||
    fail "the log does not show the failed creation of the event manager within 10 s"
  grep -qE ',\[[0-9]+:[0-9]+/1\] .*CreateInstance\(\) unable to resolve CLSID' "$LOG" ||
    fail "the log does not record the failed lookup of KVLUMEN.EventManagerEx as a failure (level 1)"
  # And what the journal gets: kvlisten's standard error has the failure too, within a second.
  wait_until 1 grep -q '^KVLUMEN.EventListener\[1\]: HandlingProc : Failed to create instance of KVLUMEN.EventManagerEx' "$HOST_ERR" ||
    fail "the failed delivery did not reach kvlisten's standard error: $(tail -3 "$HOST_ERR")"
  sleep 0.3
  [[ $(spool_count "$SPOOL") -eq $before ]] || fail "something was spooled without an event manager"
}

# logrotate moves the log away and sends SIGHUP: kvlisten keeps running and the next request's
# lines go to a new file under the configured name, none to the moved one.
case_sighup_reopens_log() {
  need_host || return 1
  local moved=$LOG.1 size_before
  mv "$LOG" "$moved" || { fail "cannot move the log"; return 1; }
  kill -HUP "$HOST_PID"
  wait_until 5 grep -q '^kvlisten: SIGHUP' "$HOST_ERR" || fail "kvlisten did not acknowledge SIGHUP"
  size_before=$(stat -c %s "$moved")
  curl_printer after-hup "$SRC/samples/deliver.xml" -H 'Content-Type: text/xml' || fail "curl exited $?"
  check_response "$WORK/responses/after-hup" "after SIGHUP"
  kill -0 "$HOST_PID" 2>/dev/null || { fail "kvlisten ended after SIGHUP"; return 1; }
  wait_until 10 test -s "$LOG" || fail "no new log file $LOG after SIGHUP"
  grep -q 'HandlingProc' "$LOG" 2>/dev/null || fail "the request's lines are not in the new log"
  [[ $(stat -c %s "$moved") -eq $size_before ]] || fail "the moved log still grows"
}

# SIGINT: kvlisten exits 0 within 10 s, says "stopped", no error, no failure in the log; the
# service manager hears STOPPING=1.
case_sigint() {
  need_host || return 1
  local started elapsed rc
  started=$(date +%s%N)
  kill -INT "$HOST_PID"
  if ! wait_until 10 process_gone "$HOST_PID"; then
    fail "kvlisten still runs 10 s after SIGINT"
    return 1
  fi
  wait "$HOST_PID"
  rc=$?
  elapsed=$((($(date +%s%N) - started) / 1000000))
  echo "    kvlisten exited $rc, $elapsed ms after SIGINT"
  HOST_PID=""
  [[ $rc -eq 0 ]] || fail "kvlisten exited $rc"
  [[ -z $(host_errors) ]] || fail "kvlisten reported errors: $(host_errors)"
  # kvlisten's own last two lines (the component's may come between them: a delivery that was
  # still under way when the signal came says how it ended).
  local own
  own=$(grep '^kvlisten: ' "$HOST_ERR")
  [[ $(tail -n 2 <<<"$own" | head -n 1) == 'kvlisten: stopping (SIGINT)' ]] || fail "no 'stopping (SIGINT)' line"
  [[ $(tail -n 1 <<<"$own") == 'kvlisten: stopped' ]] || fail "kvlisten's last line is not 'stopped': $(tail -n 1 <<<"$own")"
  [[ ! -s $HOST_OUT ]] || fail "kvlisten wrote to stdout: $(head -c 200 "$HOST_OUT")"
  notified "STOPPING=1" || fail "the service manager was not told STOPPING=1: $(cat "$NOTIFIED")"
  check_log_clean "$LOG" "$PROVOKED_FAILURE"
}

# After the stop the port is free: a socket binds it, and a new kvlisten takes it and serves. That
# one starts with a low soft limit of open files, which it raises to the hard limit.
case_port_free_after_stop() {
  [[ -n $PORT ]] || { fail "no port from the first host"; return 1; }
  port_free "$ADDRESS" "$PORT" || fail "port $PORT on $ADDRESS cannot be bound after the stop"
  local old=$PORT hard soft pid
  "$BIN/kvregsvr" /s "$BIN/KVEvSpool.so" || fail "re-registering KVEvSpool.so"
  hard=$(ulimit -Hn)
  [[ $hard != unlimited && $hard -gt 64 ]] && HOST_LAUNCH=(prlimit --nofile=64:"$hard" --)
  start_host
  HOST_LAUNCH=()
  wait_until 15 host_announced_or_gone
  if [[ $hard != unlimited && $hard -gt 64 ]]; then
    soft=$(awk '/^Max open files/ { print $4 }' "/proc/$HOST_PID/limits" 2>/dev/null)
    [[ $soft == "$hard" ]] || fail "kvlisten's soft limit of open files is ${soft:-?}, not the hard limit $hard"
    grep -q "^kvlisten: open files: limit raised from 64 to $hard" "$HOST_ERR" || fail "no line about the raised limit"
  fi
  PORT=$(announced_port)
  [[ $PORT == "$old" ]] || { fail "the new kvlisten announced '${PORT}', not port $old"; }
  if [[ -n $PORT ]]; then
    curl_printer second-host "$SRC/samples/deliver.xml" -H 'Content-Type: text/xml' || fail "curl exited $?"
    check_response "$WORK/responses/second-host" "second host"
  fi
  pid=$HOST_PID
  HOST_PID=""
  ends_cleanly "$pid" TERM "the new kvlisten" || return 1
  [[ -z $(host_errors) ]] || fail "the new kvlisten reported errors: $(host_errors)"
  [[ $(grep "^kvlisten: " "$HOST_ERR" | tail -n 1) == 'kvlisten: stopped' ]] || fail "the new kvlisten did not say 'stopped'"
}

# --help and --version answer on stdout with 0; anything kvlisten does not know, or an option
# without its value, gets the usage on stderr and exit 2 -- and starts nothing.
case_command_line() {
  local out rc
  out=$("$BIN/kvlisten" --help 2>&1)
  rc=$?
  [[ $rc -eq 0 ]] && grep -q '^usage: kvlisten' <<<"$out" && grep -q -- '--interfaces' <<<"$out" ||
    fail "kvlisten --help exited $rc: $(head -n 3 <<<"$out")"
  out=$("$BIN/kvlisten" --version 2>/dev/null)
  [[ $out =~ ^kvlisten\ [0-9]+\.[0-9]+ ]] || fail "kvlisten --version printed '$out'"
  local args
  for args in "--port" "--port 70000" "--listen example.net" "--registry" "extra" "/install"; do
    # shellcheck disable=SC2086 # the words are separate arguments on purpose
    out=$("$BIN/kvlisten" $args 2>&1 >/dev/null)
    rc=$?
    [[ $rc -eq 2 ]] || fail "kvlisten $args exited $rc, not 2"
    grep -q '^usage: kvlisten' <<<"$out" || fail "kvlisten $args printed no usage: $(head -n 2 <<<"$out")"
    grep -q 'starting' <<<"$out" && fail "kvlisten $args started the listener"
  done
}

# Configured ports that cannot be used -- busy, privileged without the right, beyond 65535, not a
# number, a REG_DWORD -- make kvlisten say which and why and exit 1 (its listener had fallen back
# to a port the system chose); --any-port keeps that port with a warning instead.
case_unusable_ports() {
  [[ -n $ADDRESS ]] || { fail "no address (see Configuration)"; return 1; }
  local store=$WORK/ports.reg busy holder privileged=$((600 + RANDOM % 400)) rc value
  KVLUMEN_REGISTRY=$store "$BIN/kvregsvr" /s "$BIN/KVEvLsn.so" && KVLUMEN_REGISTRY=$store "$BIN/kvregsvr" /s "$BIN/KVEvSpool.so" ||
    { fail "registering in $store"; return 1; }
  busy=$(free_port "$ADDRESS") || { fail "no free port"; return 1; }
  perl -MIO::Socket::IP -e '$s = IO::Socket::IP->new(LocalHost => $ARGV[0], LocalPort => $ARGV[1], Listen => 1) or exit 1;
                            print "ready\n"; STDOUT->flush; sleep 60' "$ADDRESS" "$busy" >"$WORK/holder" &
  holder=$!
  CLIENT_PIDS+=("$holder")
  wait_until 10 grep -q ready "$WORK/holder" || { fail "could not occupy port $busy"; return 1; }
  value="$busy,,70000,18080; 18081,$privileged"
  KVLUMEN_REGISTRY=$store "$BIN/kvreg" add "$REG\\Listener" /v ports /t REG_SZ /d "$value" /f >/dev/null
  # Without CAP_NET_BIND_SERVICE even root may not take a port below 1024.
  local drop=(setpriv --inh-caps=-net_bind_service --bounding-set=-net_bind_service --)
  [[ $(id -u) -ne 0 ]] && drop=()
  timeout 20 ${drop[@]+"${drop[@]}"} "$BIN/kvlisten" --registry "$store" >"$WORK/ports.out" 2>"$WORK/ports.err" </dev/null
  rc=$?
  [[ $rc -eq 1 ]] || fail "kvlisten exited $rc with unusable ports, not 1: $(cat "$WORK/ports.err")"
  grep -q 'listening on port' "$WORK/ports.err" && fail "kvlisten announced a port: $(grep 'listening on' "$WORK/ports.err")"
  grep -qF "error: none of the configured ports can be used" "$WORK/ports.err" || fail "no summary line: $(cat "$WORK/ports.err")"
  grep -qF "\"$busy\": $ADDRESS: in use" "$WORK/ports.err" || fail "port $busy not reported in use"
  grep -qF '"70000": not a port number' "$WORK/ports.err" || fail "70000 not reported as no port"
  grep -qF '"18080; 18081": not a port number' "$WORK/ports.err" || fail "'18080; 18081' not reported as no port"
  grep -qF "\"$privileged\": $ADDRESS: permission denied" "$WORK/ports.err" ||
    fail "port $privileged not reported as needing privileges: $(cat "$WORK/ports.err")"
  grep -qF -- '--any-port' "$WORK/ports.err" || fail "no hint at --any-port"

  KVLUMEN_REGISTRY=$store "$BIN/kvreg" add "$REG\\Listener" /v ports /t REG_DWORD /d "$busy" /f >/dev/null
  timeout 20 "$BIN/kvlisten" --registry "$store" >/dev/null 2>"$WORK/dword.err" </dev/null
  rc=$?
  [[ $rc -eq 1 ]] || fail "kvlisten exited $rc with a REG_DWORD port, not 1"
  grep -q 'the value "ports" is REG_DWORD' "$WORK/dword.err" || fail "the REG_DWORD is not named: $(cat "$WORK/dword.err")"

  KVLUMEN_REGISTRY=$store "$BIN/kvreg" add "$REG\\Listener" /v ports /t REG_SZ /d "$busy" /f >/dev/null
  "$BIN/kvlisten" --registry "$store" --any-port >/dev/null 2>"$WORK/any.err" </dev/null &
  local any=$! port
  CLIENT_PIDS+=("$any")
  wait_until 15 grep -q '^kvlisten: listening on port' "$WORK/any.err" || { fail "--any-port: no port announced: $(cat "$WORK/any.err")"; return 1; }
  port=$(sed -n 's/^kvlisten: listening on port \([0-9]*\) .*/\1/p' "$WORK/any.err")
  [[ -n $port && $port != "$busy" ]] || fail "--any-port listens on '$port'"
  grep -q "^kvlisten: warning: keeping port $port" "$WORK/any.err" || fail "--any-port: no warning about the kept port"
  ends_cleanly "$any" TERM "--any-port host"
  stop_process "$holder"
  CLIENT_PIDS=()
}

echo "native_e2e: $BIN (work folder $WORK)"
run_case Host.CommandLine case_command_line
run_case Registration.KvregsvrRegistersSilently case_registration
run_case Configuration.KvregStoresSettings case_configuration
run_case Host.UnusablePortsExplained case_unusable_ports
run_case Host.AnnouncesConfiguredPort case_host_starts
run_case Length.ExactResponseAndBody case_length
run_case Readme.SampleInLengthMode case_readme_length
run_case Readme.SampleInChunkedMode case_readme_chunked
run_case Chunked.SeveralChunksExactBody case_chunked
run_case Bytes.HighBytesUnchanged case_high_bytes
run_case Bytes.NulTravelsInTheBody case_nul_travels_in_the_body
run_case Printers.ConcurrentEachSpooledOnce case_concurrent
run_case WakeUp.NoResponseNothingSpooled case_wake_up_ignored
run_case WakeUp.ListenerKeepsServing case_wake_up_keeps_serving
run_case HalfClose.NoBytesNoEvent case_half_close
run_case Framing.LowerCaseLengthFromCurl case_lower_case_length
run_case Monitor.GetAndHeadAnswered case_get_and_head
run_case Limits.OversizeRefusedWith413 case_oversize
run_case Limits.ExpectContinueAnswered case_expect_continue
run_case Limits.PrinterWaitsAtConnectionLimit case_connection_limit
run_case Manager.MissingStillAnswered case_missing_manager
run_case Host.SighupReopensLog case_sighup_reopens_log
run_case Host.SigintStopsCleanly case_sigint
run_case Host.PortFreeAfterStop case_port_free_after_stop
e2e_summary
