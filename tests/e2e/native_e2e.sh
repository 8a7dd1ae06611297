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
CLIENT_PIDS=()
ADDRESS=""
PORT=""
CONFIGURED_PORT=""
HOSTS_STARTED=0

cleanup() {
  local pid
  for pid in "${CLIENT_PIDS[@]}"; do stop_process "$pid"; done
  stop_process "$HOST_PID"
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

# Starts kvlisten in the background with fresh output files.
start_host() {
  HOSTS_STARTED=$((HOSTS_STARTED + 1))
  HOST_OUT=$WORK/kvlisten-$HOSTS_STARTED.out
  HOST_ERR=$WORK/kvlisten-$HOSTS_STARTED.err
  "$BIN/kvlisten" >"$HOST_OUT" 2>"$HOST_ERR" </dev/null &
  HOST_PID=$!
}
host_announced_or_gone() { grep -q '^listening on port ' "$HOST_OUT" || process_gone "$HOST_PID"; }
announced_port() { sed -n 's/^listening on port \([0-9]*\)\r\{0,1\}$/\1/p' "$HOST_OUT" | head -n 1; }

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

# kvlisten starts, prints "listening on port <n>" with the configured port and keeps running.
case_host_starts() {
  start_host
  wait_until 15 host_announced_or_gone
  PORT=$(announced_port)
  if [[ -z $PORT ]]; then
    fail "kvlisten did not print 'listening on port <n>' within 15 s (running: $(kill -0 "$HOST_PID" 2>/dev/null && echo yes || echo no))"
    return 1
  fi
  [[ $PORT == "${CONFIGURED_PORT:-}" ]] || fail "kvlisten listens on $PORT, not on the configured port ${CONFIGURED_PORT:-}"
  kill -0 "$HOST_PID" 2>/dev/null || fail "kvlisten exited after announcing its port"
  [[ ! -s $HOST_ERR ]] || fail "kvlisten wrote to stderr: $(head -c 400 "$HOST_ERR")"
}

# Length mode: curl gets exactly the 609-byte response, and the spool holds exactly the body.
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

# Chunked mode, 300 KB sent by curl in several chunks: the 609-byte response, and exactly the body spooled.
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
case_nul_ends_message() {
  need_host || return 1
  local body=$WORK/bodies/nul.bin expected=$WORK/bodies/nul.expected before
  printf '<Deliver><Status>before the NUL</Status></Deliver>\0<after>never spooled</after>' >"$body"
  printf '<Deliver><Status>before the NUL</Status></Deliver>' >"$expected"
  before=$(spool_count "$SPOOL")
  curl_printer nul "$body" -H 'Content-Type: text/xml' || fail "curl exited $?"
  check_response "$WORK/responses/nul" "NUL in the body"
  check_spooled "$SPOOL" "$before" "$expected" "NUL in the body"
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
  local before
  before=$(spool_count "$SPOOL")
  curl_printer after-wakeup "$SRC/samples/deliver.xml" -H 'Content-Type: text/xml' || fail "curl exited $?"
  check_response "$WORK/responses/after-wakeup" "after the wake-up"
  check_spooled "$SPOOL" "$before" "$SRC/samples/deliver.xml" "after the wake-up"
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

# With maxConnections (4) held by silent peers, a printer waits in the backlog until one of them
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
  sleep 0.3
  [[ $(spool_count "$SPOOL") -eq $before ]] || fail "something was spooled without an event manager"
}

# SIGINT: kvlisten exits 0 within 10 s, says "stopped", nothing on stderr, no failure in the log.
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
  [[ ! -s $HOST_ERR ]] || fail "kvlisten wrote to stderr: $(head -c 400 "$HOST_ERR")"
  [[ $(tail -n 1 "$HOST_OUT") == stopped ]] || fail "kvlisten's last line is not 'stopped': $(tail -n 1 "$HOST_OUT")"
  check_log_clean "$LOG" "$PROVOKED_FAILURE"
}

# After the stop the port is free: a socket binds it, and a new kvlisten takes it and serves.
case_port_free_after_stop() {
  [[ -n $PORT ]] || { fail "no port from the first host"; return 1; }
  port_free "$ADDRESS" "$PORT" || fail "port $PORT on $ADDRESS cannot be bound after the stop"
  local old=$PORT rc
  "$BIN/kvregsvr" /s "$BIN/KVEvSpool.so" || fail "re-registering KVEvSpool.so"
  start_host
  wait_until 15 host_announced_or_gone
  PORT=$(announced_port)
  [[ $PORT == "$old" ]] || { fail "the new kvlisten announced '${PORT}', not port $old"; }
  if [[ -n $PORT ]]; then
    curl_printer second-host "$SRC/samples/deliver.xml" -H 'Content-Type: text/xml' || fail "curl exited $?"
    check_response "$WORK/responses/second-host" "second host"
  fi
  kill -TERM "$HOST_PID" 2>/dev/null
  wait_until 10 process_gone "$HOST_PID" || { fail "the new kvlisten still runs 10 s after SIGTERM"; return 1; }
  wait "$HOST_PID"
  rc=$?
  HOST_PID=""
  [[ $rc -eq 0 ]] || fail "the new kvlisten exited $rc after SIGTERM"
  [[ ! -s $HOST_ERR ]] || fail "the new kvlisten wrote to stderr: $(head -c 400 "$HOST_ERR")"
}

echo "native_e2e: $BIN (work folder $WORK)"
run_case Registration.KvregsvrRegistersSilently case_registration
run_case Configuration.KvregStoresSettings case_configuration
run_case Host.AnnouncesConfiguredPort case_host_starts
run_case Length.ExactResponseAndBody case_length
run_case Readme.SampleInLengthMode case_readme_length
run_case Readme.SampleInChunkedMode case_readme_chunked
run_case Chunked.SeveralChunksExactBody case_chunked
run_case Bytes.HighBytesUnchanged case_high_bytes
run_case Bytes.NulEndsMessage case_nul_ends_message
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
run_case Host.SigintStopsCleanly case_sigint
run_case Host.PortFreeAfterStop case_port_free_after_stop
e2e_summary
