#!/usr/bin/env bash
# wine_e2e.sh -- end-to-end tests of the Windows DLL under Wine with real clients: the system's regsvr32 and reg, a VBScript client run by cscript, kvlisten.exe in a console and as a service (Wine's sc and net), and curl as the printer.
#
#   wine_e2e.sh BUILD_DIR SOURCE_DIR
#
# BUILD_DIR is the cross build (its bin/ holds KVEvLsn.dll, KVEvSpool.dll and kvlisten.exe). The
# run uses a 32-bit Wine prefix of its own, BUILD_DIR/e2e-wineprefix (created on first use, put
# back to a clean state at the start and the end of every run), so that the registrations and
# settings made here never meet those of the other tests. Loopback traffic only; every process
# started here is ended, also when the run is interrupted.
# Prints one line per case, then "N passed, N failed"; exits non-zero when a case failed.
set -uo pipefail

BUILD=$(cd "${1:?usage: wine_e2e.sh BUILD_DIR SOURCE_DIR}" && pwd) || exit 2
SRC=$(cd "${2:?usage: wine_e2e.sh BUILD_DIR SOURCE_DIR}" && pwd) || exit 2
source "$SRC/tests/e2e/e2e_lib.sh"
BIN=$BUILD/bin

for file in KVEvLsn.dll KVEvSpool.dll kvlisten.exe; do
  [[ -e $BIN/$file ]] || { echo "wine_e2e: $BIN/$file was not built"; echo "0 passed, 1 failed"; exit 1; }
done
for tool in wine wineserver curl; do
  command -v "$tool" >/dev/null || { echo "wine_e2e: $tool is not installed"; echo "0 passed, 1 failed"; exit 1; }
done

export WINEPREFIX=$BUILD/e2e-wineprefix
export WINEARCH=win32
export WINEDEBUG=-all
# No Mono or Gecko installers: nothing here needs them, and they would ask for a display.
export WINEDLLOVERRIDES="mscoree,mshtml="

WORK=$(mktemp -d "$BUILD/e2e-wine-work.XXXXXX") || exit 2
SPOOL=$WORK/spool
LOG=$WORK/component.log
mkdir -p "$SPOOL" "$WORK/bodies" "$WORK/responses"
CLIENT_PID=""
CLIENT_OUT=$WORK/cscript.out
CLIENT_ERR=$WORK/cscript.err
HOST_PID=""
HOST_OUT=$WORK/kvlisten.out
HOST_ERR=$WORK/kvlisten.err
ADDRESS=""
PORT=""
CONFIGURED_PORT=""

CLSID_LISTENER='{9B381916-211D-4356-AB98-88F3AA3275E5}'
APPID='{2F30C806-D59B-48a2-8A09-141FB66CA0E5}'
IID_LISTENER='{E6F622A8-7AD1-45DD-AA4A-17D1B8AF41D4}'
LIBID='{72CB3778-680C-4616-9EF7-0522E1DCC9F8}'
# The failures and warnings cases provoke: the event manager's class cannot be found once it is
# unregistered (level 1), and the limits' refusals and time-outs (level 2).
PROVOKED_FAILURE='PlatformServices::CreateInstance\(\) (unable to resolve CLSID|returning FAIL\.)|Failed to create instance of KVLUMEN\.EventManagerEx'
PROVOKED_FAILURE="$PROVOKED_FAILURE|$PROVOKED_BY_LIMITS"
CONFIG='HKLM\SOFTWARE\Korvane\KVLumen'

# Runs a Wine program to its end, but never for longer than two minutes.
wine_run() { timeout 120 wine "$@"; }
windows_path() { wine_run winepath -w "$1" 2>/dev/null | tr -d '\r'; }

# Leaves the private prefix without our service, registrations and settings (errors ignored: some
# of them are not there).
reset_prefix() {
  wine_run "$BIN/kvlisten.exe" /uninstall >/dev/null 2>&1
  wine_run regsvr32 /u /s "$DLL_LISTENER" >/dev/null 2>&1
  wine_run regsvr32 /u /s "$DLL_SPOOL" >/dev/null 2>&1
  wine_run reg delete 'HKLM\SOFTWARE\Korvane' /f >/dev/null 2>&1
}

cleanup() {
  stop_process "$CLIENT_PID"
  stop_process "$HOST_PID"
  [[ -n ${DLL_LISTENER:-} ]] && reset_prefix
  # Every Wine process of this prefix was started by this run: wait for the prefix's server to
  # end with them, and end it when it does not.
  timeout 30 wineserver -w >/dev/null 2>&1 || wineserver -k >/dev/null 2>&1
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'echo "wine_e2e: interrupted"; exit 130' INT TERM

e2e_diagnose() {
  if [[ -e $CLIENT_OUT ]]; then
    echo "cscript output:"
    tail -n 20 "$CLIENT_OUT" 2>/dev/null
    tail -n 20 "$CLIENT_ERR" 2>/dev/null
  fi
  if [[ -e $HOST_OUT ]]; then
    echo "kvlisten.exe stdout:"
    tail -n 20 "$HOST_OUT" 2>/dev/null
    echo "kvlisten.exe stderr:"
    tail -n 20 "$HOST_ERR" 2>/dev/null
  fi
  echo "component log, last lines without the trace scopes' entry and exit lines:"
  grep -v -e '::ENTER ' -e '::EXIT: ' "$LOG" 2>/dev/null | tail -n 25
}

# Values of `wine reg query KEY /s` as lines "KEY|NAME|TYPE|DATA", and a line "KEY" for every key.
registry_lines() {
  wine_run reg query "$1" /s 2>/dev/null | tr -d '\r' | awk '
    /^HKEY_/ { key = $0; print key; next }
    /^    [^ ]/ {
      line = substr($0, 5)
      n = index(line, "    "); name = substr(line, 1, n - 1); line = substr(line, n + 4)
      n = index(line, "    ")
      if (n == 0) { type = line; data = "" } else { type = substr(line, 1, n - 1); data = substr(line, n + 4) }
      print key "|" name "|" type "|" data
    }'
}

# The default value of a key, or nothing.
# (The key goes through the environment: awk -v would read its backslashes as escapes.)
default_value() {
  registry_lines "$1" | KEY=$(registry_key_name "$1") awk -F'|' '$1 == ENVIRON["KEY"] && $2 == "(Default)" { print $4 }'
}
registry_key_name() { sed 's/^HKCR\\/HKEY_CLASSES_ROOT\\/; s/^HKLM\\/HKEY_LOCAL_MACHINE\\/' <<<"$1"; }
key_exists() { wine_run reg query "$1" >/dev/null 2>&1; }

curl_printer() {  # name body [curl options...]
  local name=$1 body=$2
  shift 2
  curl -s -i --max-time 60 "$@" --data-binary @"$body" "http://$(url_host "$ADDRESS"):$PORT/" \
    >"$WORK/responses/$name" 2>"$WORK/responses/$name.err"
}

need_port() {
  [[ -n $PORT ]] && return 0
  fail "no listener is running (see the first failed case)"
  return 1
}

# ---- cases ----------------------------------------------------------------------------------------

# The private prefix exists (created on first use) and holds none of the listener's keys.
case_prefix() {
  if [[ ! -f $WINEPREFIX/system.reg ]]; then
    echo "    creating the Wine prefix $WINEPREFIX"
    timeout 600 wineboot -i >"$WORK/wineboot.log" 2>&1 || { fail "wineboot -i failed: $(tail -n 5 "$WORK/wineboot.log")"; return 1; }
    # The session that made the prefix can hold two service control managers (found by trying:
    # a service installed then vanished); the next session, after this one ends, has one.
    timeout 120 wineserver -w >/dev/null 2>&1
  fi
  DLL_LISTENER=$(windows_path "$BIN/KVEvLsn.dll")
  DLL_SPOOL=$(windows_path "$BIN/KVEvSpool.dll")
  [[ $DLL_LISTENER == *'\KVEvLsn.dll' ]] || { fail "winepath gave '$DLL_LISTENER'"; return 1; }
  reset_prefix
  local key
  for key in "HKCR\\KVLUMEN.Listener" "HKCR\\KVLUMEN.Listener.1" "HKCR\\CLSID\\$CLSID_LISTENER" "HKCR\\AppID\\$APPID" \
             'HKCR\AppID\EventListener.DLL' "HKCR\\TypeLib\\$LIBID" "HKCR\\Interface\\$IID_LISTENER"; do
    key_exists "$key" && fail "$key exists before registration"
  done
}

# The system's regsvr32 registers KVEvLsn.dll silently.
case_regsvr32_registers() {
  local out rc
  out=$(wine_run regsvr32 /s "$DLL_LISTENER" 2>&1)
  rc=$?
  [[ $rc -eq 0 ]] || fail "regsvr32 /s exited $rc: $out"
  [[ -z $out ]] || fail "regsvr32 /s printed: $out"
}

# Under HKCR registration leaves exactly the table's keys, values and data, nothing more or less.
case_registry_table() {
  # Every value is a REG_SZ; the InprocServer32 default is the DLL's full Windows path.
  local expected actual key
  expected=$(sort <<EOF
HKEY_CLASSES_ROOT\\AppID\\$APPID
HKEY_CLASSES_ROOT\\AppID\\$APPID|(Default)|REG_SZ|EventListener
HKEY_CLASSES_ROOT\\AppID\\EventListener.DLL
HKEY_CLASSES_ROOT\\AppID\\EventListener.DLL|AppID|REG_SZ|$APPID
HKEY_CLASSES_ROOT\\KVLUMEN.Listener.1
HKEY_CLASSES_ROOT\\KVLUMEN.Listener.1|(Default)|REG_SZ|Listener Class
HKEY_CLASSES_ROOT\\KVLUMEN.Listener.1\\CLSID
HKEY_CLASSES_ROOT\\KVLUMEN.Listener.1\\CLSID|(Default)|REG_SZ|$CLSID_LISTENER
HKEY_CLASSES_ROOT\\KVLUMEN.Listener
HKEY_CLASSES_ROOT\\KVLUMEN.Listener|(Default)|REG_SZ|Listener Class
HKEY_CLASSES_ROOT\\KVLUMEN.Listener\\CLSID
HKEY_CLASSES_ROOT\\KVLUMEN.Listener\\CLSID|(Default)|REG_SZ|$CLSID_LISTENER
HKEY_CLASSES_ROOT\\KVLUMEN.Listener\\CurVer
HKEY_CLASSES_ROOT\\KVLUMEN.Listener\\CurVer|(Default)|REG_SZ|KVLUMEN.Listener.1
HKEY_CLASSES_ROOT\\CLSID\\$CLSID_LISTENER
HKEY_CLASSES_ROOT\\CLSID\\$CLSID_LISTENER|(Default)|REG_SZ|Listener Class
HKEY_CLASSES_ROOT\\CLSID\\$CLSID_LISTENER|AppID|REG_SZ|$APPID
HKEY_CLASSES_ROOT\\CLSID\\$CLSID_LISTENER\\ProgID
HKEY_CLASSES_ROOT\\CLSID\\$CLSID_LISTENER\\ProgID|(Default)|REG_SZ|KVLUMEN.Listener.1
HKEY_CLASSES_ROOT\\CLSID\\$CLSID_LISTENER\\VersionIndependentProgID
HKEY_CLASSES_ROOT\\CLSID\\$CLSID_LISTENER\\VersionIndependentProgID|(Default)|REG_SZ|KVLUMEN.Listener
HKEY_CLASSES_ROOT\\CLSID\\$CLSID_LISTENER\\Programmable
HKEY_CLASSES_ROOT\\CLSID\\$CLSID_LISTENER\\InprocServer32
HKEY_CLASSES_ROOT\\CLSID\\$CLSID_LISTENER\\InprocServer32|(Default)|REG_SZ|$DLL_LISTENER
HKEY_CLASSES_ROOT\\CLSID\\$CLSID_LISTENER\\InprocServer32|ThreadingModel|REG_SZ|Free
HKEY_CLASSES_ROOT\\CLSID\\$CLSID_LISTENER\\TypeLib
HKEY_CLASSES_ROOT\\CLSID\\$CLSID_LISTENER\\TypeLib|(Default)|REG_SZ|$LIBID
EOF
)
  actual=$(for key in "HKCR\\AppID\\$APPID" 'HKCR\AppID\EventListener.DLL' 'HKCR\KVLUMEN.Listener.1' \
                      'HKCR\KVLUMEN.Listener' "HKCR\\CLSID\\$CLSID_LISTENER"; do registry_lines "$key"; done | sort)
  if [[ $expected != "$actual" ]]; then
    fail "the registry differs from the registration table (< expected, > found):"
    diff <(echo "$expected") <(echo "$actual") | grep '^[<>]' | sed 's/^/      /'
  fi
}

# The platform's entries come on top: type library 1.0 at the DLL, the interface, the proxy/stub class.
case_registry_platform_entries() {
  local value
  key_exists "HKCR\\TypeLib\\$LIBID\\1.0" || fail "TypeLib\\$LIBID\\1.0 is missing"
  value=$(default_value "HKCR\\TypeLib\\$LIBID\\1.0\\0\\win32")
  [[ $value == "$DLL_LISTENER" ]] || fail "the type library's win32 location is '$value', not $DLL_LISTENER"
  key_exists "HKCR\\Interface\\$IID_LISTENER" || fail "Interface\\$IID_LISTENER is missing"
  value=$(default_value "HKCR\\Interface\\$IID_LISTENER\\TypeLib")
  [[ $value == "$LIBID" ]] || fail "the interface's TypeLib is '$value', not $LIBID"
  value=$(default_value "HKCR\\CLSID\\$IID_LISTENER\\InprocServer32")
  [[ $value == "$DLL_LISTENER" ]] || fail "the proxy/stub class's server is '$value', not $DLL_LISTENER"
}

# regsvr32 registers the spool event manager; reg stores the port, the spool folder and the log.
case_configure() {
  local out rc
  out=$(wine_run regsvr32 /s "$DLL_SPOOL" 2>&1)
  rc=$?
  [[ $rc -eq 0 && -z $out ]] || fail "regsvr32 /s KVEvSpool.dll exited $rc: $out"
  key_exists 'HKCR\KVLUMEN.EventManagerEx\CLSID' || fail "KVLUMEN.EventManagerEx is not registered"
  ADDRESS=$(listener_address) || { fail "no loopback address for the host name"; return 1; }
  CONFIGURED_PORT=$(free_port "$ADDRESS") || { fail "no free port found on $ADDRESS"; return 1; }
  local spool_w log_w
  spool_w=$(windows_path "$SPOOL")
  log_w=$(windows_path "$LOG")
  wine_run reg add "$CONFIG\\Listener" /v ports /t REG_SZ /d "$CONFIGURED_PORT" /f >/dev/null 2>&1 || fail "reg add ports"
  wine_run reg add "$CONFIG\\EventManager" /v spool /t REG_SZ /d "$spool_w" /f >/dev/null 2>&1 || fail "reg add spool"
  wine_run reg add "$CONFIG\\Logging" /v KVLUMEN.EventListener /t REG_SZ /d "file,$log_w,5" /f >/dev/null 2>&1 ||
    fail "reg add logging"
  # Short limits, so that the cases about them stay fast.
  wine_run reg add "$CONFIG\\Listener" /v requestTimeoutMs /t REG_DWORD /d 1000 /f >/dev/null 2>&1 || fail "reg add requestTimeoutMs"
  wine_run reg add "$CONFIG\\Listener" /v maxRequestKB /t REG_DWORD /d 512 /f >/dev/null 2>&1 || fail "reg add maxRequestKB"
  echo "    address $ADDRESS, port $CONFIGURED_PORT, spool $spool_w"
}

client_announced_or_gone() { grep -q '^listening on port ' "$CLIENT_OUT" || process_gone "$CLIENT_PID"; }

# The VBScript client creates the listener, and Start returns the configured port by reference.
case_cscript_starts() {
  local script_w go_w line
  script_w=$(windows_path "$SRC/tests/e2e/client.vbs")
  go_w=$(windows_path "$WORK/go")
  wine cscript //nologo "$script_w" "$go_w" 120 >"$CLIENT_OUT" 2>"$CLIENT_ERR" </dev/null &
  CLIENT_PID=$!
  wait_until 60 client_announced_or_gone
  line=$(tr -d '\r' <"$CLIENT_OUT" | grep '^listening on port ' | head -n 1)
  if [[ -z $line ]]; then
    fail "the client printed no port within 60 s: $(tr -d '\r' <"$CLIENT_OUT" | head -n 5)"
    return 1
  fi
  [[ $line == "listening on port $CONFIGURED_PORT (String)" ]] ||
    fail "the client printed '$line', expected 'listening on port $CONFIGURED_PORT (String)'"
  PORT=$(sed 's/^listening on port \([0-9]*\).*/\1/' <<<"$line")
}

# Length mode through the client's listener: the 628-byte response, and exactly the body spooled.
case_cscript_length() {
  need_port || return 1
  local body=$WORK/bodies/length.xml before
  make_length_body "$body"
  before=$(spool_count "$SPOOL")
  curl_printer length "$body" -H 'Content-Type: text/xml' || fail "curl exited $?: $(cat "$WORK/responses/length.err")"
  check_response "$WORK/responses/length" "length mode"
  check_spooled "$SPOOL" "$before" "$body" "length mode"
}

# Chunked mode, 300 KB sent by curl in several chunks: the 628-byte response, and exactly the body spooled.
case_cscript_chunked() {
  need_port || return 1
  send_chunked_request
}

# UTF-8 text and every byte value 0x01-0xFF reach the spool unchanged through the Windows build.
case_cscript_high_bytes() {
  need_port || return 1
  send_high_bytes_request
}

# Told to go on, the client calls Stop, prints "stopped" and ends with 0; the port is free again.
case_cscript_stops() {
  need_port || return 1
  local rc
  touch "$WORK/go"
  if ! wait_until 60 process_gone "$CLIENT_PID"; then
    fail "the client still runs 60 s after it was told to stop"
    return 1
  fi
  wait "$CLIENT_PID"
  rc=$?
  CLIENT_PID=""
  [[ $rc -eq 0 ]] || fail "cscript exited $rc: $(tr -d '\r' <"$CLIENT_OUT" | tail -n 3)"
  [[ $(tr -d '\r' <"$CLIENT_OUT" | tail -n 1) == stopped ]] || fail "the client's last line is not 'stopped'"
  wait_until 10 port_free "$ADDRESS" "$PORT" || fail "port $PORT is still taken 10 s after Stop"
  PORT=""
}

# kvlisten.exe's own lines go to stderr ("kvlisten: listening on port N at ...").
host_announced_or_gone() { grep -q '^kvlisten: listening on port ' "$HOST_ERR" || process_gone "$HOST_PID"; }
host_errors() { tr -d '\r' <"$HOST_ERR" | grep -E '^kvlisten: error:'; }

# kvlisten.exe under Wine announces the configured port (free again after the client's Stop).
case_kvlisten_starts() {
  wine "$BIN/kvlisten.exe" >"$HOST_OUT" 2>"$HOST_ERR" </dev/null &
  HOST_PID=$!
  wait_until 60 host_announced_or_gone
  PORT=$(tr -d '\r' <"$HOST_ERR" | sed -n 's/^kvlisten: listening on port \([0-9]*\) .*/\1/p' | head -n 1)
  if [[ -z $PORT ]]; then
    fail "kvlisten.exe printed no port within 60 s: $(head -c 300 "$HOST_OUT") $(head -c 300 "$HOST_ERR")"
    return 1
  fi
  [[ $PORT == "$CONFIGURED_PORT" ]] || fail "kvlisten.exe listens on $PORT, not on the configured port $CONFIGURED_PORT"
}

# A printer gets its response from kvlisten.exe, and the sample message is spooled.
case_kvlisten_request() {
  need_port || return 1
  deliver_sample kvlisten "kvlisten.exe"
}

# Only "ShutDownEvent" and a NUL: no response, the connection is closed, nothing is spooled.
case_kvlisten_wake_up() {
  need_port || return 1
  local before fd rc got
  before=$(spool_count "$SPOOL")
  if ! exec {fd}<>"/dev/tcp/$ADDRESS/$PORT"; then
    fail "cannot connect to $ADDRESS:$PORT"
    return 1
  fi
  printf 'ShutDownEvent\0' >&$fd
  timeout 15 cat <&$fd >"$WORK/responses/wakeup"
  rc=$?
  exec {fd}>&-
  got=$(stat -c %s "$WORK/responses/wakeup")
  [[ $rc -eq 0 ]] || fail "the listener did not close the connection within 15 s (timeout exit $rc)"
  [[ $got -eq 0 ]] || fail "the listener answered $got bytes"
  sleep 1
  [[ $(spool_count "$SPOOL") -eq $before ]] || fail "something was spooled"
}

# A peer that connects and half-closes without sending a byte gets no answer, and nothing is spooled.
case_kvlisten_half_close() {
  need_port || return 1
  send_nothing_then_half_close
}

# GET and HEAD are answered by kvlisten.exe and never spooled.
case_kvlisten_get_and_head() {
  need_port || return 1
  send_get_and_head
}

# The Windows DLL says how it is too: /metrics (counting the sample delivered above), /status as a
# page with its printer row, /health as 200.
case_kvlisten_figures() {
  need_port || return 1
  local base="http://$(url_host "$ADDRESS"):$PORT" out
  out=$(curl -s --max-time 30 "$base/metrics") || fail "curl /metrics exited $?"
  grep -q '^# TYPE kvlumen_requests_total counter' <<<"$out" || fail "/metrics: $(head -c 300 <<<"$out")"
  grep -Eq '^kvlumen_requests_total\{outcome="delivered"\} [1-9]' <<<"$out" || fail "/metrics counts no delivery"
  grep -q '^kvlumen_spool_ready 1' <<<"$out" || fail "/metrics: the spool manager does not say it is ready"
  out=$(curl -s --max-time 30 "$base/status") || fail "curl /status exited $?"
  grep -q '<table id="printers">' <<<"$out" || fail "/status has no printer table"
  grep -q '<svg id="per-minute"' <<<"$out" || fail "/status has no chart"
  [[ $(curl -s -o /dev/null -w '%{http_code}' --max-time 30 "$base/health") == 200 ]] || fail "/health is not 200"
}

# Over maxRequestKB: 413 from kvlisten.exe, nothing spooled.
case_kvlisten_oversize() {
  need_port || return 1
  send_oversize_request
}


# With the spool event manager unregistered (regsvr32 /u), the printer still gets its 200.
case_kvlisten_missing_manager() {
  need_port || return 1
  local before out rc
  out=$(wine_run regsvr32 /u /s "$DLL_SPOOL" 2>&1)
  rc=$?
  [[ $rc -eq 0 && -z $out ]] || fail "regsvr32 /u /s KVEvSpool.dll exited $rc: $out"
  key_exists 'HKCR\KVLUMEN.EventManagerEx' && fail "KVLUMEN.EventManagerEx is still registered"
  before=$(spool_count "$SPOOL")
  curl_printer missing "$SRC/samples/deliver.xml" -H 'Content-Type: text/xml' || fail "curl exited $?"
  check_response "$WORK/responses/missing" "no event manager"
  wait_until 15 grep -q 'Failed to create instance of EventManager' "$LOG" ||
    fail "the log does not show the failed creation of the event manager within 15 s"
  grep -qE ',\[[0-9]+:[0-9]+/1\] .*CreateInstance\(\) unable to resolve CLSID' "$LOG" ||
    fail "the log does not record the failed lookup of KVLUMEN.EventManagerEx as a failure (level 1)"
  sleep 0.3
  [[ $(spool_count "$SPOOL") -eq $before ]] || fail "something was spooled without an event manager"
}

# SIGINT as Ctrl+C: kvlisten.exe exits 0 within 15 s, says "stopped", no failure in the log, port
# free; a message answered just before, whose delivery takes 1.5 s, is still delivered.
case_kvlisten_ctrl_c() {
  need_port || return 1
  # Wine turns a SIGINT to its process into a Ctrl+C console event, so kvlisten.exe's console
  # control handler runs just as on Windows (found by trying: "stopped" and exit 0 prove it).
  local started elapsed rc out record=$WORK/slow-record
  mkdir -p "$record"
  out=$(wine_run regsvr32 /s "$(windows_path "$BIN/KVEvTest.dll")" 2>&1) || fail "registering KVEvTest.dll: $out"
  wine_run reg add "$CONFIG\\TestEventManager" /v record /t REG_SZ /d "$(windows_path "$record")" /f >/dev/null 2>&1 ||
    fail "reg add record"
  wine_run reg add "$CONFIG\\TestEventManager" /v delay /t REG_DWORD /d 1500 /f >/dev/null 2>&1 || fail "reg add delay"
  curl_printer slow "$SRC/samples/deliver.xml" -H 'Content-Type: text/xml' || fail "curl exited $?"
  check_response "$WORK/responses/slow" "a slow delivery"
  started=$(date +%s%N)
  kill -INT "$HOST_PID"
  if ! wait_until 15 process_gone "$HOST_PID"; then
    fail "kvlisten.exe still runs 15 s after SIGINT"
    return 1
  fi
  wait "$HOST_PID"
  rc=$?
  elapsed=$((($(date +%s%N) - started) / 1000000))
  HOST_PID=""
  echo "    kvlisten.exe exited $rc, $elapsed ms after SIGINT"
  [[ $rc -eq 0 ]] || fail "kvlisten.exe exited $rc"
  cmp -s "$record/1.msg" "$SRC/samples/deliver.xml" ||
    fail "the message answered before Ctrl+C was not delivered: $(ls -A "$record")"
  wine_run reg delete "$CONFIG\\TestEventManager" /f >/dev/null 2>&1
  wine_run regsvr32 /u /s "$(windows_path "$BIN/KVEvTest.dll")" >/dev/null 2>&1
  [[ $(tr -d '\r' <"$HOST_ERR" | grep '^kvlisten: ' | tail -n 1) == 'kvlisten: stopped' ]] || fail "kvlisten.exe's last line is not 'stopped'"
  [[ -z $(host_errors) ]] || fail "kvlisten.exe reported errors: $(host_errors)"
  check_log_clean "$LOG" "$PROVOKED_FAILURE"
  wait_until 10 port_free "$ADDRESS" "$PORT" || fail "port $PORT is still taken 10 s after the stop"
  PORT=""
}

SERVICE_KEY='HKLM\System\CurrentControlSet\Services\kvlisten'
service_state() { wine_run sc query kvlisten 2>/dev/null | tr -d '\r' | awk '$1 == "STATE" { print $4 }'; }
service_is() { [[ $(service_state) == "$1" ]]; }
port_taken() { ! port_free "$@"; }
stops_logged() { grep -c 'CListener::Stop - Exiting (hr: 0)' "$LOG" 2>/dev/null; }

# kvlisten.exe /install registers the service "kvlisten" with the service control manager: this
# program with --service, started automatically.
case_service_install() {
  local out rc
  out=$(wine_run "$BIN/kvlisten.exe" /install 2>&1 | tr -d '\r')
  rc=$?
  [[ $rc -eq 0 ]] || fail "kvlisten.exe /install exited $rc: $out"
  grep -q '^kvlisten: installed the service "kvlisten"' <<<"$out" || fail "/install said: $out"
  out=$(registry_lines "$SERVICE_KEY")
  grep -qF 'ImagePath|REG_SZ|"'"$(windows_path "$BIN/kvlisten.exe")"'" --service' <<<"$out" ||
    fail "the service's ImagePath is not kvlisten.exe --service: $(grep ImagePath <<<"$out")"
  grep -q '|Start|REG_DWORD|0x2$' <<<"$out" || fail "the service does not start automatically: $(grep '|Start|' <<<"$out")"
  out=$(wine_run "$BIN/kvlisten.exe" /install 2>&1 | tr -d '\r')
  grep -q 'installed already' <<<"$out" || fail "a second /install said: $out"
}

# Started by the service control manager (net start; Wine also starts automatic services when its
# server starts), the service listens on the configured port and a printer's message is spooled.
case_service_runs() {
  local out rc
  out=$(wine_run regsvr32 /s "$DLL_SPOOL" 2>&1)
  rc=$?
  [[ $rc -eq 0 ]] || fail "registering KVEvSpool.dll again exited $rc: $out"
  if ! service_is RUNNING; then
    wine_run net start kvlisten >"$WORK/net-start.out" 2>&1
    wait_until 60 service_is RUNNING || { fail "the service is $(service_state), not RUNNING: $(tr -d '\r' <"$WORK/net-start.out")"; return 1; }
  fi
  PORT=$CONFIGURED_PORT
  wait_until 30 port_taken "$ADDRESS" "$PORT" || fail "nothing listens on port $PORT"
  deliver_sample service "the service"
}

# net stop: the manager's stop reaches the listener's Stop; the service ends cleanly, the port is free.
case_service_stops() {
  need_port || return 1
  local out rc stops
  stops=$(stops_logged)
  out=$(wine_run net stop kvlisten 2>&1 | tr -d '\r')
  rc=$?
  [[ $rc -eq 0 ]] || fail "net stop exited $rc: $out"
  wait_until 30 service_is STOPPED || fail "the service is $(service_state) 30 s after net stop"
  wine_run sc query kvlisten | tr -d '\r' | grep -q 'SERVICE_EXIT_CODE *: 0 ' || fail "the service stopped with an error code"
  wait_until 10 port_free "$ADDRESS" "$PORT" || fail "port $PORT is still taken after the service stopped"
  [[ $(stops_logged) -gt $stops ]] || fail "the log shows no successful Stop from the service"
  check_log_clean "$LOG" "$PROVOKED_FAILURE"
  PORT=""
}

# /uninstall removes the service; a second one says it is not installed; --service in a console
# is refused with the usage's exit code.
case_service_uninstall() {
  local out rc
  out=$(wine_run "$BIN/kvlisten.exe" /uninstall 2>&1 | tr -d '\r')
  rc=$?
  [[ $rc -eq 0 ]] || fail "/uninstall exited $rc: $out"
  key_exists "$SERVICE_KEY" && fail "the service is still registered"
  out=$(wine_run "$BIN/kvlisten.exe" /uninstall 2>&1 | tr -d '\r')
  rc=$?
  [[ $rc -eq 1 ]] && grep -q 'is not installed' <<<"$out" || fail "a second /uninstall exited $rc: $out"
  out=$(wine_run "$BIN/kvlisten.exe" --service 2>&1 | tr -d '\r')
  rc=$?
  [[ $rc -eq 2 ]] || fail "kvlisten.exe --service in a console exited $rc: $out"
}

# kvlisten.exe --port and --listen under Wine: the listener listens on the port and the address
# given, whatever the registry and the host name say; nowhere else.
case_kvlisten_port_and_listen() {
  local port out
  port=$(free_port 127.0.0.1) || { fail "no free port"; return 1; }
  wine "$BIN/kvlisten.exe" --port "$port" --listen 127.0.0.2 >"$HOST_OUT" 2>"$HOST_ERR" </dev/null &
  HOST_PID=$!
  wait_until 60 host_announced_or_gone
  tr -d '\r' <"$HOST_ERR" | grep -q "^kvlisten: listening on port $port at 127.0.0.2 (--listen)" ||
    { fail "kvlisten.exe --port $port --listen 127.0.0.2: $(tr -d '\r' <"$HOST_ERR" | head -n 5)"; stop_process "$HOST_PID"; return 1; }
  out=$(curl -s --max-time 20 "http://127.0.0.2:$port/" 2>&1)
  [[ $(tr -d '\r' <<<"$out" | head -n 1) == "KVLUMEN.Listener listening on port $port" ]] || fail "GET at 127.0.0.2:$port answered: $out"
  curl -s --max-time 5 -o /dev/null "http://127.0.0.1:$port/"
  [[ $? -eq 7 ]] || fail "kvlisten.exe --listen 127.0.0.2 also answers on 127.0.0.1"
  kill -INT "$HOST_PID"
  wait_until 15 process_gone "$HOST_PID" || fail "kvlisten.exe still runs 15 s after SIGINT"
  stop_process "$HOST_PID"
  HOST_PID=""
}

# regsvr32 /u removes the ProgID, class, AppID, type library and interface keys; AppID and CLSID remain.
case_regsvr32_unregisters() {
  local out rc key
  out=$(wine_run regsvr32 /u /s "$DLL_LISTENER" 2>&1)
  rc=$?
  [[ $rc -eq 0 ]] || fail "regsvr32 /u /s exited $rc: $out"
  for key in 'HKCR\KVLUMEN.Listener' 'HKCR\KVLUMEN.Listener.1' "HKCR\\CLSID\\$CLSID_LISTENER" "HKCR\\AppID\\$APPID" \
             'HKCR\AppID\EventListener.DLL' "HKCR\\TypeLib\\$LIBID" "HKCR\\Interface\\$IID_LISTENER"; do
    key_exists "$key" && fail "$key is still there"
  done
  key_exists 'HKCR\AppID' || fail "HKCR\\AppID is gone"
  key_exists 'HKCR\CLSID' || fail "HKCR\\CLSID is gone"
}

echo "wine_e2e: $BUILD (prefix $WINEPREFIX, work folder $WORK)"
run_case Prefix.ReadyWithoutListenerKeys case_prefix
if [[ -z ${DLL_LISTENER:-} ]]; then
  e2e_summary
  exit 1
fi
run_case Regsvr32.RegistersSilently case_regsvr32_registers
run_case Registry.MatchesRegistrationTable case_registry_table
run_case Registry.TypeLibraryInterfaceAndProxyStub case_registry_platform_entries
run_case Configuration.SpoolManagerAndSettings case_configure
run_case Cscript.StartReturnsPortByReference case_cscript_starts
run_case Cscript.LengthRequestThrough case_cscript_length
run_case Cscript.ChunkedRequestThrough case_cscript_chunked
run_case Cscript.HighBytesUnchanged case_cscript_high_bytes
run_case Cscript.StopEndsClient case_cscript_stops
run_case Kvlisten.AnnouncesConfiguredPort case_kvlisten_starts
run_case Kvlisten.RequestThrough case_kvlisten_request
run_case Kvlisten.WakeUpNoResponseNothingSpooled case_kvlisten_wake_up
run_case Kvlisten.HalfCloseNoBytesNoEvent case_kvlisten_half_close
run_case Kvlisten.GetAndHeadAnswered case_kvlisten_get_and_head
run_case Kvlisten.MetricsStatusHealth case_kvlisten_figures
run_case Kvlisten.OversizeRefusedWith413 case_kvlisten_oversize
run_case Kvlisten.MissingManagerStillAnswered case_kvlisten_missing_manager
run_case Kvlisten.CtrlCStopsCleanly case_kvlisten_ctrl_c
run_case Kvlisten.PortAndListenOptions case_kvlisten_port_and_listen
run_case Service.InstallRegisters case_service_install
run_case Service.RunsAndDelivers case_service_runs
run_case Service.StopsOnRequest case_service_stops
run_case Service.UninstallRemoves case_service_uninstall
run_case Regsvr32.UnregistersEntries case_regsvr32_unregisters
e2e_summary
