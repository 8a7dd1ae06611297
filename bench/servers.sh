# servers.sh -- the servers the benchmarks run: kvlisten with each event manager (Redis with a redis-server of its own), nginx; and what they are measured by.
#
# Sourced, never run, by vs_nginx.sh and profile_kvlisten.sh, which set SRC (the source tree),
# BIN (the build's programs), WORK (a temporary folder of the run's own) and LOADGEN (the load
# generator) first. A server NAME is a set of functions: NAME_label, NAME_start (sets HOST[NAME],
# PORT[NAME] and PID[NAME]), NAME_processes (the PIDs whose CPU and memory count),
# NAME_delivered ("count bytes" delivered so far, or nothing for a server that delivers nowhere)
# and NAME_stop. Servers: null, spool, redis (kvlisten with each event manager), nginx, floor
# (the least any server does) and wine (the Windows build under Wine). Adding a server means defining those five here (kvlisten_server does it for a
# kvlisten with a given event manager).

source "$SRC/tests/e2e/e2e_lib.sh"  # wait_until, process_gone, stop_process, free_port, listener_address

declare -A HOST PORT PID REDIS_PID REDIS_PORT
# A command that kvlisten runs under (a profiler); PID[NAME] is then that command's.
[[ -v KVLISTEN_WRAPPER ]] || KVLISTEN_WRAPPER=()

# ---- process figures -------------------------------------------------------------------------

# CPU time (user + system, clock ticks) of the processes, threads that ended included.
cpu_ticks() {
  local pid line total=0 fields
  for pid in "$@"; do
    read -r line 2>/dev/null <"/proc/$pid/stat" || continue
    read -r -a fields <<<"${line##*) }"  # after "pid (comm) ": state is field 0, utime 11, stime 12
    total=$((total + fields[11] + fields[12]))
  done
  echo "$total"
}

rss_kib() {
  local pid total=0 kib
  for pid in "$@"; do
    kib=$(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status" 2>/dev/null)
    total=$((total + ${kib:-0}))
  done
  echo "$total"
}

children_of() {
  local stat line fields
  for stat in /proc/[0-9]*/stat; do
    read -r line 2>/dev/null <"$stat" || continue
    read -r -a fields <<<"${line##*) }"
    [[ ${fields[1]} == "$1" ]] && { line=${stat#/proc/}; echo "${line%/stat}"; }
  done
}

TICK_US=$((1000000 / $(getconf CLK_TCK)))

# ---- kvlisten servers ------------------------------------------------------------------------

REG='HKLM\SOFTWARE\Korvane\KVLumen'

declare -A KIND KVBIN LABEL
# Environment a kvlisten server starts with, beside the registry store (e.g. KVLUMEN_COUNTERS=off).
declare -A EXTRA_ENV
declare -A MODULE=([null]=KVEvNull.so [spool]=KVEvSpool.so [redis]=KVEvRedis.so)

# kvlisten_server NAME KIND BIN LABEL: a kvlisten of the build in BIN with the do-nothing (KIND
# null), the spool (spool) or the Redis (redis) event manager, under the server name NAME. With
# Redis, the server is kvlisten and a redis-server of its own: both start, count and stop together.
kvlisten_server() {
  local name=$1
  KIND[$name]=$2
  KVBIN[$name]=$3
  LABEL[$name]=$4
  eval "${name}_label() { echo \"\${LABEL[$name]}\"; }
        ${name}_start() { start_kvlisten $name; }
        ${name}_processes() { echo \"\${PID[$name]}\" \${REDIS_PID[$name]:-}; }
        ${name}_delivered() { ${2}_deliveries $name; }
        ${name}_stop() { stop_kvlisten $name; }"
}

# stop_kvlisten NAME: ends kvlisten as Ctrl+C would, then its redis-server; false, with the reason
# on standard error, when kvlisten did not end with status 0 (it crashed, or had to be killed).
stop_kvlisten() {
  local pid=${PID[$1]:-} status=0
  PID[$1]=""
  if [[ -n $pid ]]; then
    stop_process "$pid"
    wait "$pid" 2>/dev/null
    status=$?
  fi
  stop_redis "$1"
  [[ $status -eq 0 ]] || { echo "bench: ${LABEL[$1]} ended with status $status" >&2; return 1; }
}

# start_kvlisten NAME: a registry store of its own with the listener and the event manager;
# kvlisten on a port the system chooses, on the host name's loopback address.
start_kvlisten() {
  local name=$1 bin=${KVBIN[$1]} dir=$WORK/$1 module=${MODULE[${KIND[$1]}]}
  local out=$dir/kvlisten.out
  mkdir -p "$dir"
  if [[ ${KIND[$name]} == redis ]]; then
    start_redis "$name" || return 1
  fi
  export KVLUMEN_REGISTRY=$dir/registry.reg
  "$bin/kvregsvr" /s "$bin/KVEvLsn.so" && "$bin/kvregsvr" /s "$bin/$module" &&
    "$bin/kvreg" add "$REG\\Listener" /v ports /t REG_SZ /d 0 /f >/dev/null &&
    # Large bodies must not meet the request limit (a value kvlisten reads once it has the limit).
    "$bin/kvreg" add "$REG\\Listener" /v maxRequestKB /t REG_DWORD /d 262144 /f >/dev/null &&
    # Every printer of the bench comes from 127.0.0.1: one address may hold them all; and its idle
    # printers must be kept while their memory is measured, longer than a header section may take.
    "$bin/kvreg" add "$REG\\Listener" /v maxConnectionsPerPeer /t REG_DWORD /d 16384 /f >/dev/null &&
    "$bin/kvreg" add "$REG\\Listener" /v headerTimeoutMs /t REG_DWORD /d 60000 /f >/dev/null &&
    "$bin/kvreg" add "$REG\\Listener" /v maxConnections /t REG_DWORD /d 16384 /f >/dev/null &&
    "$bin/kvreg" add "$REG\\NullEventManager" /v counter /t REG_SZ /d "$dir/counter" /f >/dev/null &&
    mkdir -p "$dir/spool" && "$bin/kvreg" add "$REG\\EventManager" /v spool /t REG_SZ /d "$dir/spool" /f >/dev/null ||
    { unset KVLUMEN_REGISTRY; return 1; }
  if [[ ${KIND[$name]} == redis ]]; then
    # Never trimmed by kvlisten (the count trims), and no fallback: an event Redis did not take is missing.
    "$bin/kvreg" add "$REG\\EventManager\\Redis" /v address /t REG_SZ /d "127.0.0.1:${REDIS_PORT[$name]}" /f >/dev/null &&
      "$bin/kvreg" add "$REG\\EventManager\\Redis" /v stream /t REG_SZ /d "$REDIS_STREAM" /f >/dev/null &&
      "$bin/kvreg" add "$REG\\EventManager\\Redis" /v maxLength /t REG_DWORD /d 0 /f >/dev/null ||
      { unset KVLUMEN_REGISTRY; return 1; }
  fi
  # stderr collects every run's lines (checked once at the end); this run's start from line $from.
  local err=$dir/kvlisten.err from
  touch "$err"
  from=$(($(wc -l <"$err") + 1))
  rm -f "$out"  # a restart must not read its predecessor's port
  env ${EXTRA_ENV[$name]:-} "${KVLISTEN_WRAPPER[@]}" "$bin/kvlisten" >"$out" 2>>"$err" </dev/null &
  PID[$name]=$!
  unset KVLUMEN_REGISTRY
  wait_until 10 eval "[[ -n \$(tail -n +$from '$err' | kvlisten_announced_port '$out' -) ]] || process_gone ${PID[$name]}"
  PORT[$name]=$(tail -n +"$from" "$err" | kvlisten_announced_port "$out" -)
  HOST[$name]=$(listener_address) || return 1
  [[ -n ${PORT[$name]} ]] || { cat "$dir/kvlisten.err" >&2; return 1; }
}

# "count bytes" delivered so far: the do-nothing manager's counter file, or the spooled files.
null_deliveries() {
  [[ -f $WORK/$1/counter ]] || { echo "0 0"; return; }
  od -An -t u8 -w16 "$WORK/$1/counter" | awk '{ print $1 + 0, $2 + 0 }'
}
spool_deliveries() {
  find "$WORK/$1/spool" -maxdepth 1 -name 'event-*.xml' -printf '%s\n' | awk '{ n++; b += $1 } END { print n + 0, b + 0 }'
}

# ---- Redis, for kvlisten with the Redis event manager ---------------------------------------------

REDIS_STREAM=kvlumen:bench

# start_redis NAME: a redis-server of its own for the server NAME, as a deployment that must not
# lose an acknowledged event runs it (append-only file, fsync before every answer), in the
# server's folder, on a random loopback port.
start_redis() {
  local name=$1 dir=$WORK/$1/redis attempt port
  command -v redis-server >/dev/null && command -v redis-cli >/dev/null ||
    { echo "bench: redis-server is not installed (Debian: redis-server)" >&2; return 1; }
  mkdir -p "$dir"
  echo "0 0 0" >"$WORK/$name/redis.counted"
  # Another program may take the port first, hence the retries.
  for attempt in 1 2 3 4 5; do
    port=$(free_port 127.0.0.1) || return 1
    # No background rewrite of the append-only file: its CPU would fall on whatever runs meanwhile.
    redis-server --port "$port" --bind 127.0.0.1 --protected-mode no --dir "$dir" --appendonly yes \
      --appendfsync always --auto-aof-rewrite-percentage 0 --save "" --daemonize no \
      --logfile "$dir/redis.log" </dev/null &
    REDIS_PID[$name]=$!
    if wait_until 15 eval "[[ \$(redis-cli -p $port ping 2>/dev/null) == PONG ]] || process_gone ${REDIS_PID[$name]}" &&
       ! process_gone "${REDIS_PID[$name]}"; then
      REDIS_PORT[$name]=$port
      return 0
    fi
    stop_process "${REDIS_PID[$name]}"
    REDIS_PID[$name]=""
  done
  tail -n 5 "$dir/redis.log" >&2
  return 1
}

stop_redis() {
  [[ -n ${REDIS_PID[$1]:-} ]] || return 0
  stop_process "${REDIS_PID[$1]}"
  wait "${REDIS_PID[$1]}" 2>/dev/null
  REDIS_PID[$1]=""
}

# Counts the entries added since the last count and removes them (the stream would otherwise
# hold every event of the run): their number, their bodies' bytes, and how many bodies differ
# from ARGV[1] when one is given.
REDIS_COUNT='
local count, bytes, wrong, last = 0, 0, 0, nil
while true do
  local entries = redis.call("XRANGE", KEYS[1], last and ("(" .. last) or "-", "+", "COUNT", 1000)
  if #entries == 0 then break end
  for _, entry in ipairs(entries) do
    local fields, body = entry[2], ""
    for i = 1, #fields, 2 do if fields[i] == "body" then body = fields[i + 1] end end
    count = count + 1
    bytes = bytes + #body
    if ARGV[1] ~= "" and body ~= ARGV[1] then wrong = wrong + 1 end
    last = entry[1]
  end
end
if last then
  local ms, seq = string.match(last, "^(%d+)-(%d+)$")
  redis.call("XTRIM", KEYS[1], "MINID", ms .. "-" .. (tonumber(seq) + 1))
end
return {count, bytes, wrong}'

# "count bytes" added to the stream so far (counted entries are removed from it). When
# $WORK/body exists, every entry's body is compared with it; redis_wrong_bodies NAME tells how
# many differed.
redis_deliveries() {
  local name=$1 counted=$WORK/$1/redis.counted count bytes wrong new
  read -r count bytes wrong <"$counted"
  if [[ -f $WORK/body ]]; then
    new=$(redis-cli -p "${REDIS_PORT[$name]}" -x EVAL "$REDIS_COUNT" 1 "$REDIS_STREAM" <"$WORK/body" 2>/dev/null)
  else
    new=$(redis-cli -p "${REDIS_PORT[$name]}" EVAL "$REDIS_COUNT" 1 "$REDIS_STREAM" "" 2>/dev/null)
  fi
  # Unreachable, the count stays as it was: the missing events show.
  if [[ $new =~ ^([0-9]+)$'\n'([0-9]+)$'\n'([0-9]+)$ ]]; then
    count=$((count + BASH_REMATCH[1]))
    bytes=$((bytes + BASH_REMATCH[2]))
    wrong=$((wrong + BASH_REMATCH[3]))
    echo "$count $bytes $wrong" >"$counted"
  fi
  echo "$count $bytes"
}
redis_wrong_bodies() { [[ -f $WORK/$1/redis.counted ]] && cut -d' ' -f3 "$WORK/$1/redis.counted"; }

kvlisten_server null null "$BIN" "kvlisten + do-nothing event manager"
# The same without the counters, /metrics, /status and the printer table: what they cost.
kvlisten_server uncounted null "$BIN" "kvlisten + do-nothing event manager, counters off"
EXTRA_ENV[uncounted]="KVLUMEN_COUNTERS=off"
kvlisten_server spool spool "$BIN" "kvlisten + spool event manager"
kvlisten_server redis redis "$BIN" "kvlisten + Redis event manager"

# ---- nginx -------------------------------------------------------------------------------------

# nginx's configuration string for the listener's answer body: quoted, CR and LF escaped.
nginx_body() {
  "$LOADGEN" answer-body | perl -0777 -pe 's/\\/\\\\/g; s/\x27/\\\x27/g; s/\r/\\r/g; s/\n/\\n/g'
}

nginx_label() { echo "nginx, 2 workers, fixed 200"; }
nginx_start() {
  local dir=$WORK/nginx attempt port body
  command -v nginx >/dev/null || { echo "bench: nginx is not installed (Debian: nginx-light)" >&2; return 1; }
  mkdir -p "$dir/logs" "$dir/temp"
  body=$(nginx_body)
  # A random free port; another program may take it before nginx does, hence the retries.
  for attempt in 1 2 3 4 5; do
    port=$(free_port 127.0.0.1) || return 1
    cat >"$dir/nginx.conf" <<EOF
daemon off;
master_process on;
worker_processes 2;
pid $dir/nginx.pid;
error_log $dir/logs/error.log;
worker_rlimit_nofile 16384;
events { worker_connections 8192; }
http {
  access_log off;
  client_body_temp_path $dir/temp/body;
  proxy_temp_path $dir/temp/proxy;
  fastcgi_temp_path $dir/temp/fastcgi;
  uwsgi_temp_path $dir/temp/uwsgi;
  scgi_temp_path $dir/temp/scgi;
  client_max_body_size 0;
  server {
    listen 127.0.0.1:$port;
    location / {
      default_type 'text/xml; charset="utf-8"';
      return 200 '$body';
    }
  }
}
EOF
    nginx -p "$dir/" -c "$dir/nginx.conf" -e "$dir/logs/error.log" >"$dir/logs/stdout" 2>&1 </dev/null &
    PID[nginx]=$!
    if wait_until 10 eval "[[ \$(children_of ${PID[nginx]} | wc -l) -ge 2 ]] || process_gone ${PID[nginx]}" &&
       ! process_gone "${PID[nginx]}"; then
      HOST[nginx]=127.0.0.1
      PORT[nginx]=$port
      return 0
    fi
  done
  cat "$dir/logs/error.log" >&2
  return 1
}
nginx_processes() { echo "${PID[nginx]}" $(children_of "${PID[nginx]}"); }
nginx_delivered() { :; }
nginx_stop() { stop_process "${PID[nginx]:-}"; }


# ---- the floor -----------------------------------------------------------------------------------

# What any server pays for the traffic alone: bench's floor_server (epoll, accept, read, answer,
# close), with 2 threads as nginx has 2 workers.
floor_label() { echo "floor: minimal epoll server, 2 threads"; }
floor_start() {
  local dir=$WORK/floor
  mkdir -p "$dir"
  "$BIN/floor_server" 2 >"$dir/out" 2>"$dir/err" </dev/null &
  PID[floor]=$!
  wait_until 10 eval "grep -qs '^port ' '$dir/out' || process_gone ${PID[floor]}"
  PORT[floor]=$(sed -n 's/^port //p' "$dir/out")
  HOST[floor]=127.0.0.1
  [[ -n ${PORT[floor]} ]] || { cat "$dir/err" >&2; return 1; }
}
floor_processes() { echo "${PID[floor]}"; }
floor_delivered() { :; }
floor_stop() { stop_process "${PID[floor]:-}"; }

# ---- the Windows build under Wine --------------------------------------------------------------

# kvlisten.exe of the Windows build (WIN_BUILD, by default build/win) with the do-nothing event
# manager, in a Wine prefix of the benchmark's own beside that build (made on first use, which
# takes a minute or more; registrations and settings are made afresh at every start). Its CPU
# time counts with the prefix's wineserver, which every Wine process needs for its waits.
WIN_BUILD=${WIN_BUILD:-$SRC/build/win}
declare -a WINE_ENV=(WINEPREFIX="$WIN_BUILD/bench-wineprefix" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=")
bench_wine() { env "${WINE_ENV[@]}" timeout 120 wine "$@"; }
WINESERVER_PID=""

wine_label() { echo "kvlisten.exe + do-nothing event manager, under Wine"; }
wine_start() {
  local dir=$WORK/wine bin=$WIN_BUILD/bin file value key name type data pid
  command -v wine >/dev/null || { echo "bench: wine is not installed" >&2; return 1; }
  for file in kvlisten.exe KVEvLsn.dll KVEvNull.dll; do
    [[ -e $bin/$file ]] || { echo "bench: $bin/$file was not built" >&2; return 1; }
  done
  mkdir -p "$dir"
  if [[ ! -f $WIN_BUILD/bench-wineprefix/system.reg ]]; then
    echo "bench: creating the Wine prefix $WIN_BUILD/bench-wineprefix" >&2
    env "${WINE_ENV[@]}" timeout 600 wineboot -i >"$dir/wineboot.log" 2>&1 || { tail -n 5 "$dir/wineboot.log" >&2; return 1; }
    env "${WINE_ENV[@]}" timeout 120 wineserver -w
  fi
  for file in KVEvLsn.dll KVEvNull.dll; do
    bench_wine regsvr32 /s "$(bench_wine winepath -w "$bin/$file" | tr -d '\r')" >/dev/null 2>&1 ||
      { echo "bench: regsvr32 $file failed under Wine" >&2; return 1; }
  done
  for value in "Listener ports REG_SZ 0" "Listener maxRequestKB REG_DWORD 262144" "Listener maxConnectionsPerPeer REG_DWORD 16384" \
               "NullEventManager counter REG_SZ $(bench_wine winepath -w "$dir/counter" | tr -d '\r')"; do
    read -r key name type data <<<"$value"
    bench_wine reg add "$REG\\$key" /v "$name" /t "$type" /d "$data" /f >/dev/null 2>&1 ||
      { echo "bench: reg add $key $name failed under Wine" >&2; return 1; }
  done
  env "${WINE_ENV[@]}" wine "$bin/kvlisten.exe" >"$dir/kvlisten.out" 2>"$dir/kvlisten.err" </dev/null &
  PID[wine]=$!
  wait_until 60 eval "grep -qs '^kvlisten: listening on port ' '$dir/kvlisten.err' || process_gone ${PID[wine]}"
  PORT[wine]=$(tr -d '\r' <"$dir/kvlisten.err" | kvlisten_announced_port -)
  HOST[wine]=$(listener_address) || return 1
  [[ -n ${PORT[wine]} ]] || { cat "$dir/kvlisten.err" >&2; return 1; }
  for pid in $(pgrep -x wineserver); do
    tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WIN_BUILD/bench-wineprefix" && WINESERVER_PID=$pid
  done
}
wine_processes() { echo "${PID[wine]}" $WINESERVER_PID; }
wine_delivered() { null_deliveries wine; }
# As Ctrl+C would (Wine turns SIGINT into the console's Ctrl+C event); kvlisten.exe exits 0.
wine_stop() {
  local pid=${PID[wine]:-} status=0
  PID[wine]=""
  [[ -n $pid ]] || return 0
  kill -INT "$pid" 2>/dev/null
  wait_until 15 process_gone "$pid" || kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  status=$?
  [[ $status -eq 0 ]] || { echo "bench: $(wine_label) ended with status $status" >&2; return 1; }
}
