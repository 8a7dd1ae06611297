#!/usr/bin/env bash
# redis_e2e.sh -- the Redis event manager end to end: a real redis-server (append-only, fsync on every write) started here, two kvlisten delivering into one stream, a consumer group checking every body.
#
#   redis_e2e.sh BIN_DIR SOURCE_DIR
#
# BIN_DIR holds kvlisten, kvreg, kvregsvr, KVEvLsn.so, KVEvRedis.so, printer_load and
# stream_consumer. Everything lives in a temporary folder of its own (redis data and socket, two
# registry stores, fallback folders, logs); traffic goes to loopback only; every process started
# here is ended, also on interruption. Prints one line per case, then "N passed, N failed".
set -uo pipefail

BIN=$(cd "${1:?usage: redis_e2e.sh BIN_DIR SOURCE_DIR}" && pwd) || exit 2
SRC=$(cd "${2:?usage: redis_e2e.sh BIN_DIR SOURCE_DIR}" && pwd) || exit 2
source "$SRC/tests/e2e/e2e_lib.sh"

for tool in kvlisten kvreg kvregsvr KVEvLsn.so KVEvRedis.so printer_load stream_consumer; do
  [[ -e $BIN/$tool ]] || { echo "redis_e2e: $BIN/$tool was not built"; echo "0 passed, 1 failed"; exit 1; }
done
for tool in redis-server redis-cli; do
  command -v $tool >/dev/null || { echo "redis_e2e: $tool is not installed (Debian: redis-server)"; echo "0 passed, 1 failed"; exit 1; }
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/kv-e2e-redis.XXXXXX") || exit 2
mkdir -p "$WORK/redis" "$WORK/fallback-a" "$WORK/fallback-b" "$WORK/sent"
REDIS_PID=""
HOST_PIDS=()
LOAD_PID=""
STREAM=kvlumen:e2e
REG_KEY='HKLM\SOFTWARE\Korvane\KVLumen'
REDIS_KEY="$REG_KEY\\EventManager\\Redis"
ADDRESS=""
REDIS_PORT=""
declare -A PORT

cleanup() {
  local pid
  stop_process "$LOAD_PID"
  for pid in "${HOST_PIDS[@]}"; do stop_process "$pid"; done
  [[ -n $REDIS_PID ]] && kill -KILL "$REDIS_PID" 2>/dev/null && wait "$REDIS_PID" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'echo "redis_e2e: interrupted"; exit 130' INT TERM

e2e_diagnose() {
  local name
  for name in a b; do
    echo "host $name stderr:"; tail -n 5 "$WORK/host-$name.err" 2>/dev/null
    echo "host $name log (last lines):"; tail -n 8 "$WORK/host-$name.log" 2>/dev/null
  done
  echo "redis log:"; tail -n 5 "$WORK/redis.log" 2>/dev/null
}

# ---- helpers -------------------------------------------------------------------------------------

reg() {  # host kvreg-arguments...: kvreg on the host's own registry store
  local host=$1
  shift
  KVLUMEN_REGISTRY=$WORK/host-$host.reg "$BIN/kvreg" "$@" >/dev/null
}

start_redis() {
  redis-server --port "$REDIS_PORT" --bind 127.0.0.1 --protected-mode no --dir "$WORK/redis" \
    --appendonly yes --appendfsync always --save "" --unixsocket "$WORK/redis.sock" --unixsocketperm 700 \
    --daemonize no --logfile "$WORK/redis.log" &
  REDIS_PID=$!
  wait_until 15 redis_answers || { fail "redis-server did not answer within 15 s"; return 1; }
}
redis_answers() { [[ $(redis-cli -p "$REDIS_PORT" ping 2>/dev/null) == PONG ]]; }
stream_length() { redis-cli -p "$REDIS_PORT" xlen "$STREAM" 2>/dev/null || echo 0; }
stream_has() { [[ $(stream_length) -ge $1 ]]; }
fallback_count() { find "$WORK/fallback-a" "$WORK/fallback-b" -maxdepth 1 -name 'event-*.xml' | wc -l; }
fallback_empty() { [[ $(fallback_count) -eq 0 ]]; }
# metric PORT NAME: the value of one sample of the listener's /metrics.
metric() {
  curl -s "http://$(url_host "$ADDRESS"):$1/metrics" | awk -v name="$2" '$1 == name { print $2 }'
}
level1_count() { grep -cE ",\[[0-9]+:[0-9]+/1\] KVEvRedis::$2" "$WORK/host-$1.log" 2>/dev/null; }

# Sets up host a or b: its own registry store with both modules registered, its port, the log at
# level 3 and the Redis settings (a short timeout, so that a test does not wait long).
configure_host() {  # name fallback-folder-or-empty
  local name=$1 fallback=$2 module
  for module in KVEvLsn.so KVEvRedis.so; do
    KVLUMEN_REGISTRY=$WORK/host-$name.reg "$BIN/kvregsvr" /s "$BIN/$module" || fail "kvregsvr /s $module for host $name"
  done
  reg "$name" add "$REG_KEY\\Listener" /v ports /t REG_SZ /d "${PORT[$name]}" /f
  reg "$name" add "$REG_KEY\\Logging" /v KVLUMEN.EventListener /t REG_SZ /d "file,$WORK/host-$name.log,3" /f
  reg "$name" add "$REDIS_KEY" /v address /t REG_SZ /d "127.0.0.1:$REDIS_PORT" /f
  reg "$name" add "$REDIS_KEY" /v stream /t REG_SZ /d "$STREAM" /f
  reg "$name" add "$REDIS_KEY" /v timeoutMs /t REG_DWORD /d 500 /f
  if [[ -n $fallback ]]; then reg "$name" add "$REDIS_KEY" /v fallbackSpool /t REG_SZ /d "$fallback" /f; fi
}

start_host() {  # name
  local name=$1
  KVLUMEN_REGISTRY=$WORK/host-$name.reg "$BIN/kvlisten" >"$WORK/host-$name.out" 2>"$WORK/host-$name.err" </dev/null &
  HOST_PIDS+=($!)
  wait_until 15 grep -q '^kvlisten: listening on port ' "$WORK/host-$name.err" ||
    { fail "kvlisten $name did not announce its port within 15 s"; return 1; }
  grep -q "^kvlisten: listening on port ${PORT[$name]} " "$WORK/host-$name.err" || fail "kvlisten $name is not on port ${PORT[$name]}"
}

load() {  # ports first count out: printer_load, its report indented
  "$BIN/printer_load" "$ADDRESS" "$1" "$2" "$3" 64 "$4" | sed 's/^/    /'
}

# ---- cases ---------------------------------------------------------------------------------------

# Without a fallback folder and without Redis, printers still get their 200, Deliver fails and
# the losses are a level-1 line with the reason Redis could not be reached: one line for the
# five, as a kind of failure is said at most once every ten seconds.
case_loss_without_fallback() {
  ADDRESS=$(listener_address) || { fail "no loopback address for the host name"; return 1; }
  REDIS_PORT=$(free_port 127.0.0.1) && PORT[a]=$(free_port "$ADDRESS") && PORT[b]=$(free_port "$ADDRESS") ||
    { fail "no free ports"; return 1; }
  [[ ${PORT[a]} != "${PORT[b]}" && ${PORT[a]} != "$REDIS_PORT" ]] || { fail "port draw collided"; return 1; }
  configure_host a ""
  start_host a || return 1
  load "${PORT[a]}" 1 5 "$WORK/sent/lost" || fail "printer_load: not every printer got its 200"
  # The five are counted in the module's figures, which the listener's /metrics shows.
  lost_five() { [[ $(metric "${PORT[a]}" 'kvlumen_redis_failures_total{kind="lost"}') == 5 ]]; }
  wait_until 10 lost_five || fail "/metrics counts $(metric "${PORT[a]}" 'kvlumen_redis_failures_total{kind="lost"}') lost messages, not 5"
  [[ $(level1_count a 'CRedisEventManager::Deliver: a message of [0-9]+ bytes is lost') -eq 1 ]] ||
    fail "host a logged $(level1_count a 'CRedisEventManager::Deliver: .* is lost') loss lines at level 1, not 1 for the five"
  grep -qE '/1\] KVEvRedis::.* is lost: Redis did not take it \(Connection refused\) and no fallbackSpool is set' "$WORK/host-a.log" ||
    fail "the loss line does not carry Redis's reason"
  grep -qE '/1\] KVEvRedis::CRedisEventManager::Connection: cannot connect to Redis at 127.0.0.1:[0-9]+: Connection refused' "$WORK/host-a.log" ||
    fail "the failed connection is not logged at level 1 with its reason"
}

# Redis unreachable from the start: every message goes to the host's fallback folder and every
# printer is answered.
case_fallback_fills() {
  configure_host b "$WORK/fallback-b"
  reg a add "$REDIS_KEY" /v fallbackSpool /t REG_SZ /d "$WORK/fallback-a" /f
  start_host b || return 1
  sleep 1.2  # host a reads its settings again
  load "${PORT[a]},${PORT[b]}" 1001 400 "$WORK/sent/before-redis" || fail "printer_load: not every printer got its 200"
  [[ $(fallback_count) -eq 400 ]] || fail "the fallback folders hold $(fallback_count) messages, not 400"
  [[ $(find "$WORK/fallback-a" -name 'event-*.xml' | wc -l) -eq 200 ]] || fail "host a kept $(find "$WORK/fallback-a" -name 'event-*.xml' | wc -l) of its 200"
}

# Once Redis answers, each host replays its folder into the stream and empties it.
case_replay_when_redis_answers() {
  start_redis || return 1
  wait_until 30 fallback_empty || fail "$(fallback_count) messages still in the fallback folders 30 s after Redis started"
  [[ $(stream_length) -eq 400 ]] || fail "the stream holds $(stream_length) entries, not 400"
}

# 10,000 events from 64 printers in flight to both hosts; Redis is killed and started again in
# the middle. Every printer is answered, the fallback takes what Redis could not, and the replay
# brings it to the stream.
case_redis_killed_mid_run() {
  [[ -n $REDIS_PID ]] || { fail "no redis-server"; return 1; }
  local broken_before
  broken_before=$(( $(level1_count a 'CRedisEventManager::Connection: (the connection|cannot connect)') +
                    $(level1_count b 'CRedisEventManager::Connection: (the connection|cannot connect)') ))
  "$BIN/printer_load" "$ADDRESS" "${PORT[a]},${PORT[b]}" 10001 10000 64 "$WORK/sent/main" >"$WORK/load.out" 2>&1 &
  LOAD_PID=$!
  wait_until 60 stream_has 2900 || fail "the stream did not reach 2,900 entries within 60 s"
  kill -KILL "$REDIS_PID"
  wait "$REDIS_PID" 2>/dev/null
  REDIS_PID=""
  echo "    redis-server killed at $(wc -l <"$WORK/sent/main") answered events"
  sleep 1
  kill -0 "$LOAD_PID" 2>/dev/null || fail "the load ended before Redis was killed: not a test of a kill mid-run"
  start_redis || return 1
  wait "$LOAD_PID" || fail "printer_load: $(cat "$WORK/load.out")"
  LOAD_PID=""
  wait_until 60 fallback_empty || fail "$(fallback_count) messages still in the fallback folders 60 s after the load"
  local broken_after
  broken_after=$(( $(level1_count a 'CRedisEventManager::Connection: (the connection|cannot connect)') +
                   $(level1_count b 'CRedisEventManager::Connection: (the connection|cannot connect)') ))
  [[ $broken_after -gt $broken_before ]] || fail "no host saw Redis go away"
  # The kill must have caught a pipeline on its way: messages sent and never answered, whose
  # replay then finds them by their id instead of adding them twice.
  grep -hqE '/1\] KVEvRedis::CRedisEventManager::Connection: the connection to .* failed with a message of [0-9]+ bytes unanswered' \
    "$WORK/host-a.log" "$WORK/host-b.log" || fail "no send broke with messages unanswered: the kill did not test the broken-send path"
  grep -hqE '/3\] KVEvRedis::CRedisEventManager::ReplayOnce: [0-9]+ messages' "$WORK/host-a.log" "$WORK/host-b.log" ||
    fail "no replay is logged"
  echo "    $(cat "$WORK/load.out"); stream holds $(stream_length) entries"
  echo "    replayed entries the stream had already (by their id): $(sed -n -E 's/.*ReplayOnce: ([0-9]+) messages were in the stream already.*/\1/p' "$WORK/host-a.log" "$WORK/host-b.log" | awk '{ n += $1 } END { print n + 0 }')"
}

# The address may be the server's Unix socket.
case_unix_socket() {
  local before
  before=$(stream_length)
  reg a add "$REDIS_KEY" /v address /t REG_SZ /d "$WORK/redis.sock" /f
  sleep 1.2
  load "${PORT[a]}" 30001 50 "$WORK/sent/socket" || fail "printer_load: not every printer got its 200"
  [[ $(stream_length) -eq $((before + 50)) ]] || fail "the stream grew by $(($(stream_length) - before)), not 50"
  [[ $(fallback_count) -eq 0 ]] || fail "messages went to the fallback folder"
}

# A consumer group reads every body sent while a fallback existed exactly once, byte for byte,
# with its length, the listener it was sent to and a UTC time; the lost ones are not there.
case_consumer_reads_each_once() {
  "$BIN/stream_consumer" 127.0.0.1 "$REDIS_PORT" "$STREAM" checkers \
    "$WORK/sent/before-redis" "$WORK/sent/main" "$WORK/sent/socket" >"$WORK/consumer.out" 2>&1 ||
    fail "stream_consumer: $(cat "$WORK/consumer.out")"
  echo "    $(tail -n 1 "$WORK/consumer.out")"
}

# Both hosts stop cleanly and say nothing beyond their own lines; nothing was left in the fallback folders or half written.
case_hosts_stop() {
  local pid name
  for pid in "${HOST_PIDS[@]}"; do ends_cleanly "$pid" TERM "kvlisten $pid"; done
  HOST_PIDS=()
  for name in a b; do
    # kvlisten tells its own story on stderr; anything else there (a sanitizer's report, an
    # error of its own) fails the case.
    local foreign
    foreign=$(kvlisten_foreign_lines "$WORK/host-$name.err")
    [[ -z $foreign ]] || fail "kvlisten $name wrote to stderr: $(head -c 600 <<<"$foreign")"
  done
  [[ -z $(find "$WORK/fallback-a" "$WORK/fallback-b" -name '.*-*' -o -name 'partial-*') ]] ||
    fail "temporary or partial files left: $(ls -A "$WORK/fallback-a" "$WORK/fallback-b")"
}

echo "redis_e2e: $BIN (work folder $WORK)"
run_case Redis.NoFallbackLossIsLoggedWithTheReason case_loss_without_fallback
run_case Redis.UnreachableAtStartFallbackFills case_fallback_fills
run_case Redis.FallbackReplayedWhenRedisAnswers case_replay_when_redis_answers
run_case Redis.KilledMidRunNothingLost case_redis_killed_mid_run
run_case Redis.UnixSocketAddress case_unix_socket
run_case Redis.ConsumerGroupReadsEachBodyOnce case_consumer_reads_each_once
run_case Redis.HostsStopCleanly case_hosts_stop
e2e_summary
