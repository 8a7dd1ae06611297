#!/usr/bin/env bash
# redis_faults_e2e.sh -- the Redis event manager under the faults teams meet: real redis-server processes (plain, TLS, ACL, Sentinel, cluster) on loopback, a proxy that holds bytes, kills and hangs; every event answered 200 is in the stream once, byte for byte, with its id.
#
#   redis_faults_e2e.sh BIN_DIR SOURCE_DIR [CASE...]
#
# BIN_DIR holds kvlisten, kvreg, kvregsvr, KVEvLsn.so, KVEvRedis.so, printer_load,
# stream_consumer and holding_proxy. Each case starts its own servers in a folder of its own
# under one temporary folder; traffic goes to loopback only; every process started here is
# ended, also on interruption. Prints one line per case, then "N passed, N failed".
set -uo pipefail

BIN=$(cd "${1:?usage: redis_faults_e2e.sh BIN_DIR SOURCE_DIR}" && pwd) || exit 2
SRC=$(cd "${2:?usage: redis_faults_e2e.sh BIN_DIR SOURCE_DIR}" && pwd) || exit 2
shift 2
ONLY=" $* "
source "$SRC/tests/e2e/e2e_lib.sh"

for tool in kvlisten kvreg kvregsvr KVEvLsn.so KVEvRedis.so printer_load stream_consumer holding_proxy; do
  [[ -e $BIN/$tool ]] || { echo "redis_faults_e2e: $BIN/$tool was not built"; echo "0 passed, 1 failed"; exit 1; }
done
for tool in redis-server redis-cli openssl; do
  command -v $tool >/dev/null || { echo "redis_faults_e2e: $tool is not installed"; echo "0 passed, 1 failed"; exit 1; }
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/kv-e2e-redis-faults.XXXXXX") || exit 2
STREAM=kvlumen:e2e
REDIS_KEY='HKLM\SOFTWARE\Korvane\KVLumen\EventManager\Redis'
ADDRESS=$(listener_address) || exit 2
declare -A PID=()      # name -> pid of every server and host started here
declare -A PORT=()     # name -> port
LAST_HOST=""

cleanup() {
  local name
  for name in "${!PID[@]}"; do
    kill -CONT "${PID[$name]}" 2>/dev/null
    kill -KILL "${PID[$name]}" 2>/dev/null
  done
  wait 2>/dev/null
  [[ -n ${KV_KEEP_WORK:-} ]] || rm -rf "$WORK"
}
trap cleanup EXIT
trap 'echo "redis_faults_e2e: interrupted"; exit 130' INT TERM

e2e_diagnose() {
  [[ -n $LAST_HOST ]] || return 0
  echo "host $LAST_HOST stderr:"; tail -n 5 "$WORK/host-$LAST_HOST.err" 2>/dev/null
  echo "host $LAST_HOST log (last lines):"; tail -n 12 "$WORK/host-$LAST_HOST.log" 2>/dev/null
}

# ---- servers -------------------------------------------------------------------------------------

new_port() { local p; p=$(free_port 127.0.0.1) || return 1; echo "$p"; }

# start_redis NAME [redis-server arguments...]: a redis-server in $WORK/NAME on port PORT[NAME]
# (append-only, fsync always), answering PING before this returns.
start_redis() {
  local name=$1
  shift
  mkdir -p "$WORK/$name"
  [[ -n ${PORT[$name]:-} ]] || PORT[$name]=$(new_port) || { fail "no free port"; return 1; }
  redis-server --port "${PORT[$name]}" --bind 127.0.0.1 --protected-mode no --dir "$WORK/$name" --appendonly yes \
    --appendfsync always --save "" --daemonize no --logfile "$WORK/$name/redis.log" "$@" </dev/null &
  PID[$name]=$!
  wait_until 15 answers "$name" || { fail "redis-server $name did not answer within 15 s"; return 1; }
}
rcli() { local name=$1; shift; redis-cli -p "${PORT[$name]}" "$@" 2>/dev/null; }
answers() { [[ $(rcli "$1" ping) == PONG ]]; }
stop() {  # NAME: ends a server or host started here, at once
  [[ -n ${PID[$1]:-} ]] || return 0
  kill -CONT "${PID[$1]}" 2>/dev/null
  kill -KILL "${PID[$1]}" 2>/dev/null
  wait "${PID[$1]}" 2>/dev/null
  unset "PID[$1]"
}
stream_length() { redis-cli -p "${PORT[$1]}" ${2:+-n $2} xlen "$STREAM" 2>/dev/null || echo 0; }
stream_holds() { [[ $(stream_length "$1") -ge $2 ]]; }  # NAME N: at least N entries

# ---- hosts ---------------------------------------------------------------------------------------

reg() { local host=$1; shift; KVLUMEN_REGISTRY=$WORK/host-$host.reg "$BIN/kvreg" "$@" >/dev/null; }
set_redis() { reg "$1" add "$REDIS_KEY" /v "$2" /t "$3" /d "$4" /f; }

# configure_host NAME ADDRESS: a registry store of its own, both modules registered, a port, the
# log at level 3, a fallback folder, a short timeout, deliveries acknowledged once stored.
configure_host() {
  local name=$1 module
  mkdir -p "$WORK/fallback-$name"
  for module in KVEvLsn.so KVEvRedis.so; do
    KVLUMEN_REGISTRY=$WORK/host-$name.reg "$BIN/kvregsvr" /s "$BIN/$module" || fail "kvregsvr /s $module for host $name"
  done
  PORT[host-$name]=$(free_port "$ADDRESS")
  reg "$name" add 'HKLM\SOFTWARE\Korvane\KVLumen\Listener' /v ports /t REG_SZ /d "${PORT[host-$name]}" /f
  reg "$name" add 'HKLM\SOFTWARE\Korvane\KVLumen\Listener' /v maxRequestKB /t REG_DWORD /d 4096 /f
  reg "$name" add 'HKLM\SOFTWARE\Korvane\KVLumen\Listener' /v acknowledge /t REG_SZ /d stored /f
  reg "$name" add 'HKLM\SOFTWARE\Korvane\KVLumen\Logging' /v KVLUMEN.EventListener /t REG_SZ /d "file,$WORK/host-$name.log,3" /f
  set_redis "$name" address REG_SZ "$2"
  set_redis "$name" stream REG_SZ "$STREAM"
  set_redis "$name" timeoutMs REG_DWORD 500
  set_redis "$name" fallbackSpool REG_SZ "$WORK/fallback-$name"
}

start_host() {
  local name=$1
  LAST_HOST=$name
  : >"$WORK/host-$name.err"
  KVLUMEN_REGISTRY=$WORK/host-$name.reg "$BIN/kvlisten" >>"$WORK/host-$name.out" 2>>"$WORK/host-$name.err" </dev/null &
  PID[host-$name]=$!
  wait_until 15 grep -q '^kvlisten: listening on port ' "$WORK/host-$name.err" ||
    { fail "kvlisten $name did not announce its port within 15 s"; return 1; }
}
host_alive() {
  kill -0 "${PID[host-$1]}" 2>/dev/null && return 0
  local rc
  wait "${PID[host-$1]}"
  rc=$?
  fail "kvlisten $1 died (exit status $rc$( ((rc > 128)) && echo ", SIG$(kill -l $((rc - 128)))"))"
  return 1
}
# end_host NAME: stops kvlisten as Ctrl+C would; it must end cleanly and have written nothing to
# stderr beyond its own lines (a sanitizer's report, an error of its own).
end_host() {
  local foreign
  ends_cleanly "${PID[host-$1]}" INT "kvlisten $1"
  unset "PID[host-$1]"
  foreign=$(kvlisten_foreign_lines "$WORK/host-$1.err")
  [[ -z $foreign ]] || fail "kvlisten $1 wrote to stderr: $(head -c 600 <<<"$foreign")"
}
fallback_count() { find "$WORK/fallback-$1" -maxdepth 1 -name 'event-*.xml' | wc -l; }
fallback_empty() { [[ $(fallback_count "$1") -eq 0 ]]; }

# load HOST FIRST COUNT IN_FLIGHT SENT: printer_load against the host, answers written to SENT.
load() {
  "$BIN/printer_load" "$ADDRESS" "${PORT[host-$1]}" "$2" "$3" "$4" "$WORK/sent-$5" | sed 's/^/    /'
  return "${PIPESTATUS[0]}"
}

# check_once REDIS_NAME SENT...: a consumer group reads the whole stream: each sent body once,
# byte for byte, with its id, and nothing else.
check_once() {
  local name=$1 files=() f
  shift
  for f in "$@"; do files+=("$WORK/sent-$f"); done
  "$BIN/stream_consumer" 127.0.0.1 "${PORT[$name]}" "$STREAM" "check$RANDOM" "${files[@]}" >"$WORK/consumer.out" 2>&1 ||
    fail "stream_consumer: $(tail -n 3 "$WORK/consumer.out")"
  echo "    $(tail -n 1 "$WORK/consumer.out")"
}

logged() { grep -qE "$2" "$WORK/host-$1.log" 2>/dev/null; }

# The module replays its fallback folder as soon as it loads; kvlisten loads it at start to say
# whether it is ready ("event manager: ..." on stderr). A host that loads its event manager only
# for the first event gets one (written to SENT, which the case then checks too).
nudge_if_unloaded() {  # host first-id sent
  manager_loaded() { grep -q 'event manager: KVLUMEN.EventManagerEx is' "$WORK/host-$1.err"; }
  : >"$WORK/sent-$3"
  wait_until 3 manager_loaded "$1" && return 0
  echo "    the listener loads its event manager with the first event: one event sent to load it"
  load "$1" "$2" 1 1 "$3" || fail "the event that loads the event manager was not answered"
}

wants() { [[ $ONLY == "  " || $ONLY == *" $1 "* ]]; }

# ---- cases ---------------------------------------------------------------------------------------

# A Redis restart breaks the connection: the first write on a Unix socket after it, and a write
# of 3 MB after Redis closed a TCP connection (CLIENT KILL), used to raise SIGPIPE and kill
# kvlisten. Both hosts live on, and every event is in the stream once.
case_no_sigpipe() {
  start_redis p --unixsocket "$WORK/p/redis.sock" --unixsocketperm 700 || return 1
  configure_host unix "$WORK/p/redis.sock"
  configure_host tcp "127.0.0.1:${PORT[p]}"
  start_host unix && start_host tcp || return 1
  load tcp 101 3 1 tcp-1 || fail "tcp: not every printer got its 200 before CLIENT KILL"
  rcli p client kill type normal >/dev/null
  load tcp 90000001 3 1 tcp-2 || fail "tcp: not every printer got its 200 after CLIENT KILL"
  host_alive tcp
  load unix 1 20 4 unix-1 || fail "unix: not every printer got its 200 before the restart"
  stop p
  start_redis p --unixsocket "$WORK/p/redis.sock" --unixsocketperm 700 || return 1
  load unix 21 20 4 unix-2 || fail "unix: not every printer got its 200 after the restart"
  host_alive unix
  host_alive tcp
  wait_until 20 fallback_empty unix && wait_until 20 fallback_empty tcp || fail "fallback folders not replayed"
  check_once p unix-1 unix-2 tcp-1 tcp-2
  end_host unix; end_host tcp; stop p
}

# kvlisten is killed while it replays its fallback folder, with a pipeline sent but unanswered
# (a proxy holds it); the held bytes reach Redis late, after the next kvlisten's replay -- which
# starts at load, with no new event -- has added the same entries. Nothing is added twice.
case_killed_during_replay() {
  start_redis r || return 1
  PORT[proxy]=$(new_port)
  configure_host replay "127.0.0.1:$(new_port)"   # nobody listens there: all goes to the fallback folder
  start_host replay || return 1
  load replay 1001 1000 16 replay || fail "not every printer got its 200 while Redis was away"
  [[ $(fallback_count replay) -eq 1000 ]] || fail "the fallback folder holds $(fallback_count replay) messages, not 1000"
  stop host-replay
  # The proxy lets about a third of the replay's bytes through, then holds the rest.
  "$BIN/holding_proxy" "${PORT[proxy]}" "${PORT[r]}" 700000 2>"$WORK/proxy.err" &
  PID[proxy]=$!
  set_redis replay address REG_SZ "127.0.0.1:${PORT[proxy]}"
  start_host replay || return 1
  nudge_if_unloaded replay 2001 replay-nudge-1
  wait_until 20 grep -q 'holding after' "$WORK/proxy.err" || fail "the replay did not reach the proxy's hold"
  wait_until 5 stream_holds r 1 || fail "nothing reached the stream before the hold"
  local before=$(stream_length r) waiting=$(fallback_count replay)
  stop host-replay
  echo "    kvlisten killed with $before entries in the stream and $waiting files waiting"
  [[ $before -gt 0 && $before -lt 1000 && $waiting -gt 0 ]] || fail "the kill did not come in the middle of the replay"
  kill -USR2 "${PID[proxy]}"   # the dead client's held bytes go to Redis 1.5 s from now
  start_host replay || return 1
  nudge_if_unloaded replay 2002 replay-nudge-2
  wait_until 30 fallback_empty replay || fail "$(fallback_count replay) files left after the restart"
  sleep 4   # the late bytes arrive
  grep -q released "$WORK/proxy.err" || fail "the proxy never released its bytes"
  check_once r replay replay-nudge-1 replay-nudge-2
  end_host replay
}

# A partition (the proxy holds every byte both ways for 4 s) during a load: printers are still
# answered, what was sent into the partition and delivered after it heals is not added twice.
case_partition() {
  configure_host part "127.0.0.1:${PORT[proxy]}"
  stop proxy
  "$BIN/holding_proxy" "${PORT[proxy]}" "${PORT[r]}" 2>"$WORK/proxy.err" &
  PID[proxy]=$!
  rcli r del "$STREAM" >/dev/null
  start_host part || return 1
  load part 5001 1500 16 part >"$WORK/part-load.out" &
  local loader=$!
  wait_until 30 stream_holds r 200 || fail "the load did not start"
  kill -USR1 "${PID[proxy]}"
  sleep 4
  kill -USR2 "${PID[proxy]}"
  wait "$loader" || fail "not every printer got its 200: $(cat "$WORK/part-load.out")"
  wait_until 30 fallback_empty part || fail "$(fallback_count part) files left"
  sleep 4
  logged part '/1\] KVEvRedis::.*(no answer from Redis within the timeout|took no bytes within the timeout)' ||
    fail "no timeout was logged: the partition was not seen"
  host_alive part
  check_once r part
  end_host part; stop proxy
}

# A hung Redis (SIGSTOP): after the first timeout, printers are answered without waiting for it
# (the fallback folder takes their events); kvlisten stopped during the hang ends in time, and the
# next one brings the events in once Redis answers again.
case_hung_redis() {
  configure_host hang "127.0.0.1:${PORT[r]}"
  rcli r del "$STREAM" >/dev/null
  start_host hang || return 1
  load hang 20001 50 8 hang-1 || fail "not every printer got its 200 before the hang"
  kill -STOP "${PID[r]}"
  local started=$(date +%s%N)
  load hang 20101 400 16 hang-2 || fail "not every printer got its 200 during the hang"
  local ms=$((($(date +%s%N) - started) / 1000000))
  echo "    400 events answered in $ms ms while Redis was stopped"
  # Waiting out the timeout for each of them would take 400 / 16 x 0.5 s = 12.5 s at least.
  [[ $ms -lt 9000 ]] || fail "the printers waited for the hung Redis: 400 events took $ms ms"
  [[ $(ps -o state= -p "${PID[r]}") == T* ]] || fail "Redis did not stay stopped through the load"
  logged hang 'KVEvRedis::CRedisEventManager::Connection: the connection to .* (timeout|no answer)' || fail "the hang was not logged"
  # Stopped while Redis still hangs, kvlisten ends in time; the next one replays what waits.
  end_host hang
  kill -CONT "${PID[r]}"
  start_host hang || return 1
  wait_until 30 fallback_empty hang || fail "$(fallback_count hang) files left"
  check_once r hang-1 hang-2
  end_host hang; stop r
}

# 1 primary, 1 replica, 3 sentinels; writes need 1 replica (WAIT). A failover in the middle of a
# load demotes the primary, which then answers READONLY: the host asks the sentinels again and
# writes to the new primary; nothing is lost or doubled there.
case_sentinel_failover() {
  start_redis primary || return 1
  start_redis replica --replicaof 127.0.0.1 "${PORT[primary]}" || return 1
  local i list="" conf
  for i in 1 2 3; do
    PORT[sentinel$i]=$(new_port)
    mkdir -p "$WORK/sentinel$i"
    conf=$WORK/sentinel$i/sentinel.conf
    printf '%s\n' "port ${PORT[sentinel$i]}" "bind 127.0.0.1" "protected-mode no" "dir $WORK/sentinel$i" \
      "sentinel monitor kvtest 127.0.0.1 ${PORT[primary]} 2" "sentinel down-after-milliseconds kvtest 1000" \
      "sentinel failover-timeout kvtest 4000" >"$conf"
    redis-server "$conf" --sentinel --logfile "$WORK/sentinel$i/sentinel.log" </dev/null &
    PID[sentinel$i]=$!
    list+="${list:+,}127.0.0.1:${PORT[sentinel$i]}"
  done
  sentinel_primary() { redis-cli -p "${PORT[sentinel1]}" --raw sentinel get-master-addr-by-name kvtest 2>/dev/null | tail -n 1; }
  replicas_seen() { [[ $(redis-cli -p "${PORT[sentinel1]}" --raw sentinel replicas kvtest 2>/dev/null | grep -c "^${PORT[replica]}$") -ge 1 ]]; }
  wait_until 20 replicas_seen || fail "the sentinels did not find the replica"
  sentinels_met() { [[ $(redis-cli -p "${PORT[sentinel1]}" --raw sentinel sentinels kvtest 2>/dev/null | grep -c '^name$') -ge 2 ]]; }
  wait_until 20 sentinels_met ||
    fail "the sentinels did not find each other"
  configure_host sent "127.0.0.1:1"   # the address is not used: the sentinels name the primary
  set_redis sent sentinels REG_SZ "$list"
  set_redis sent masterName REG_SZ kvtest
  set_redis sent minReplicas REG_DWORD 1
  set_redis sent timeoutMs REG_DWORD 1000
  start_host sent || return 1
  load sent 50001 2000 16 sent >"$WORK/sent-load.out" &
  local loader=$!
  wait_until 30 stream_holds primary 300 || fail "the load did not start"
  redis-cli -p "${PORT[sentinel1]}" sentinel failover kvtest >/dev/null
  failed_over() { [[ $(sentinel_primary) == "${PORT[replica]}" ]]; }
  wait_until 30 failed_over || fail "the sentinels did not fail over"
  wait "$loader" || fail "not every printer got its 200: $(cat "$WORK/sent-load.out")"
  wait_until 40 fallback_empty sent || fail "$(fallback_count sent) files left"
  # Sentinel closes the demoted primary's connections; a connection that stays answers READONLY.
  logged sent 'StreamWriter::Add: .* answers READONLY|not a primary now|Redis closed the connection' || fail "the host did not notice the failover"
  echo "    new primary: port ${PORT[replica]}; READONLY answers seen: $(grep -c 'answers READONLY' "$WORK/host-sent.log")"
  check_once replica sent
  end_host sent
  for i in 1 2 3; do stop sentinel$i; done
  stop primary; stop replica
}

# A 3-node cluster: the host is pointed at a node that does not hold the stream's slot (MOVED);
# then the slot moves to another node in the middle of a load (ASK, TRYAGAIN, then MOVED again).
case_cluster() {
  local n
  for n in c1 c2 c3; do
    start_redis $n --cluster-enabled yes --cluster-config-file "$WORK/$n/nodes.conf" --cluster-node-timeout 2000 || return 1
  done
  redis-cli --cluster create "127.0.0.1:${PORT[c1]}" "127.0.0.1:${PORT[c2]}" "127.0.0.1:${PORT[c3]}" --cluster-yes >"$WORK/cluster.out" 2>&1 ||
    { fail "cluster create: $(tail -n 3 "$WORK/cluster.out")"; return 1; }
  cluster_ok() { for n in c1 c2 c3; do [[ $(rcli $n cluster info | tr -d '\r' | grep cluster_state) == cluster_state:ok ]] || return 1; done; }
  wait_until 20 cluster_ok || fail "the cluster did not come up"
  local slot owner other entry
  slot=$(rcli c1 cluster keyslot "$STREAM")
  owner_of() { for n in c1 c2 c3; do [[ $(redis-cli -p "${PORT[$n]}" xlen "$STREAM" 2>&1) =~ ^[0-9]+$ ]] && { echo $n; return; }; done; }
  owner=$(owner_of)
  for n in c1 c2 c3; do [[ $n != "$owner" ]] && { entry=$n; break; }; done
  for n in c1 c2 c3; do [[ $n != "$owner" && $n != "$entry" ]] && other=$n; done
  echo "    slot $slot on $owner; the host is pointed at $entry; the slot moves to $other"
  configure_host clu "127.0.0.1:${PORT[$entry]}"
  start_host clu || return 1
  load clu 60001 300 8 clu-1 || fail "not every printer got its 200 before the move"
  load clu 60301 600 8 clu-2 >"$WORK/clu-load.out" &
  local loader=$! keys
  local from_id to_id
  from_id=$(rcli $owner cluster myid) to_id=$(rcli $other cluster myid)
  rcli $other cluster setslot "$slot" importing "$from_id" >/dev/null
  rcli $owner cluster setslot "$slot" migrating "$to_id" >/dev/null
  while keys=$(rcli $owner cluster getkeysinslot "$slot" 200) && [[ -n $keys ]]; do
    rcli $owner migrate 127.0.0.1 "${PORT[$other]}" "" 0 5000 keys $keys >/dev/null
  done
  for n in c1 c2 c3; do rcli $n cluster setslot "$slot" node "$to_id" >/dev/null; done
  wait "$loader" || fail "not every printer got its 200 during the move: $(cat "$WORK/clu-load.out")"
  wait_until 30 fallback_empty clu || fail "$(fallback_count clu) files left"
  [[ $(owner_of) == "$other" ]] || fail "the stream is on $(owner_of), not $other"
  echo "    during the move: $(grep -c 'with ASKING' "$WORK/host-clu.log") ASK lines, $(grep -c 'TRYAGAIN' "$WORK/host-clu.log") TRYAGAIN lines (each at most one per 10 s)"
  check_once $other clu-1 clu-2
  end_host clu
  for n in c1 c2 c3; do stop $n; done
}

# TLS with a test CA made here: the server's certificate is checked against tlsCaFile and the
# name (tlsServerName, else the address's host), and the host shows its own certificate. A wrong
# name is refused (the fallback folder takes the events); the right one lets everything in.
case_tls() {
  local d=$WORK/tls
  mkdir -p "$d"
  make_cert() {  # name subject-alt-names
    openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout "$d/$1.key" -out "$d/$1.csr" -subj "/CN=$1" 2>/dev/null &&
      openssl x509 -req -in "$d/$1.csr" -CA "$d/ca.crt" -CAkey "$d/ca.key" -CAcreateserial -out "$d/$1.crt" -days 2 \
        -extfile <(printf 'subjectAltName=%s\n' "$2") 2>/dev/null
  }
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout "$d/ca.key" -out "$d/ca.crt" -days 2 \
    -subj /CN=kvlumen-test-ca 2>/dev/null && make_cert server 'DNS:localhost,IP:127.0.0.1' && make_cert client 'DNS:kvlisten' ||
    { fail "openssl could not make the test certificates"; return 1; }
  PORT[tlsport]=$(new_port)
  start_redis tls --tls-port "${PORT[tlsport]}" --tls-cert-file "$d/server.crt" --tls-key-file "$d/server.key" \
    --tls-ca-cert-file "$d/ca.crt" --tls-auth-clients yes || return 1
  configure_host tls "localhost:${PORT[tlsport]}"
  set_redis tls tls REG_DWORD 1
  set_redis tls tlsCaFile REG_SZ "$d/ca.crt"
  set_redis tls tlsCertFile REG_SZ "$d/client.crt"
  set_redis tls tlsKeyFile REG_SZ "$d/client.key"
  set_redis tls tlsServerName REG_SZ wrong.example
  start_host tls || return 1
  load tls 70001 20 4 tls-1 || fail "not every printer got its 200 with the wrong name"
  [[ $(stream_length tls) -eq 0 ]] || fail "a server whose certificate names another host was written to"
  logged tls "/1\] KVEvRedis::.*certificate is not accepted: .*wrong.example" || fail "the refused certificate is not logged with its reason"
  reg tls delete "$REDIS_KEY" /v tlsServerName /f
  wait_until 30 fallback_empty tls || fail "$(fallback_count tls) files left once the name was right"
  load tls 70021 200 8 tls-2 || fail "not every printer got its 200 over TLS"
  check_once tls tls-1 tls-2
  end_host tls; stop tls
}

# An ACL user (username/password) limited to the stream's keys and the commands it needs, and a
# database of its own; a wrong password is refused, said, and nothing is lost.
case_acl_and_database() {
  start_redis acl --user kvwriter on '>s3cret' '~kvlumen:*' '~{kvlumen:*' +@read +@write +@scripting +ping +wait +select || return 1
  configure_host acl "127.0.0.1:${PORT[acl]}"
  set_redis acl username REG_SZ kvwriter
  set_redis acl password REG_SZ wrong
  set_redis acl database REG_DWORD 2
  start_host acl || return 1
  load acl 80001 20 4 acl-1 || fail "not every printer got its 200 with the wrong password"
  logged acl "/1\] KVEvRedis::.*AUTH refused: WRONGPASS" || fail "the refused password is not logged"
  set_redis acl password REG_SZ s3cret
  wait_until 30 fallback_empty acl || fail "$(fallback_count acl) files left once the password was right"
  load acl 80021 200 8 acl-2 || fail "not every printer got its 200"
  [[ $(stream_length acl) -eq 0 && $(stream_length acl 2) -eq 220 ]] ||
    fail "database 0 holds $(stream_length acl) entries and database 2 $(stream_length acl 2), not 0 and 220"
  STREAM_DB=2 check_once acl acl-1 acl-2
  end_host acl; stop acl
}

# Trimming loses nothing unread: a consumer group that lags (read 200, acknowledged 100) keeps
# every entry from its oldest unacknowledged one on, while one that read everything does not
# hold the stream back. Then the takeover recipe of docs/redis.md, run as written: another worker
# claims the lagging worker's pending entries.
case_lagging_group_and_takeover() {
  start_redis lag || return 1
  configure_host lag "127.0.0.1:${PORT[lag]}"
  rcli lag xgroup create "$STREAM" fast 0 mkstream >/dev/null
  rcli lag xgroup create "$STREAM" slow 0 >/dev/null
  start_host lag || return 1
  load lag 85001 300 8 lag-1 || fail "not every printer got its 200"
  rcli lag xreadgroup group slow worker-1 count 200 streams "$STREAM" '>' >/dev/null
  rcli lag eval "for _, e in ipairs(redis.call('XRANGE', KEYS[1], '-', '+', 'COUNT', 100)) do redis.call('XACK', KEYS[1], 'slow', e[1]) end" 1 "$STREAM" >/dev/null
  rcli lag xreadgroup group fast f count 1000 noack streams "$STREAM" '>' >/dev/null
  local keep
  keep=$(rcli lag eval "return redis.call('XRANGE', KEYS[1], '-', '+', 'COUNT', 101)[101][1]" 1 "$STREAM")
  sleep 1.2   # trimming runs at most once a second
  load lag 85301 20 4 lag-2 || fail "not every printer got its 200"
  [[ $(stream_length lag) -eq 220 ]] || fail "the stream holds $(stream_length lag) entries, not 220 (320 less the 100 every group had acknowledged)"
  [[ $(rcli lag --raw xrange "$STREAM" - + count 1 | head -n 1) == "$keep" ]] || fail "the oldest entry left is not the lagging group's oldest unacknowledged one ($keep)"

  local recipe
  recipe=$(sed -n '/<!-- takeover-recipe -->/,/<!-- \/takeover-recipe -->/p' "$SRC/docs/redis.md" | grep '^    ' | sed 's/^    //')
  [[ -n $recipe ]] || { fail "docs/redis.md has no takeover recipe"; return 1; }
  recipe=$(sed "s/stream=kvlumen:events/stream=$STREAM/; s/group=printers/group=slow/; s/idle_ms=60000/idle_ms=0/" <<<"$recipe")
  ( redis-cli() { command redis-cli -p "${PORT[lag]}" "$@"; }; eval "$recipe" ) >"$WORK/recipe.out" 2>&1 || fail "the recipe failed: $(tail -n 3 "$WORK/recipe.out")"
  local owned
  owned=$(rcli lag --raw xpending "$STREAM" slow - + 1000 worker-2 | grep -c -- '^worker-2$')
  [[ $owned -eq 100 ]] || fail "worker-2 holds $owned of worker-1's 100 pending entries after the recipe"
  [[ $(rcli lag --raw xpending "$STREAM" slow - + 1000 worker-1 | grep -c -- '^worker-1$') -eq 0 ]] || fail "worker-1 still holds entries"
  end_host lag; stop lag
}

echo "redis_faults_e2e: $BIN (work folder $WORK)"
wants no_sigpipe && run_case RedisFaults.NoSigpipeOnUnixSocketOrTcp case_no_sigpipe
wants killed_during_replay && run_case RedisFaults.KilledDuringReplayNothingTwice case_killed_during_replay
wants killed_during_replay && wants partition && run_case RedisFaults.PartitionByProxyNothingTwice case_partition
wants killed_during_replay && wants hung && run_case RedisFaults.HungRedisPrintersAnsweredAtOnce case_hung_redis
wants sentinel && run_case RedisFaults.SentinelFailoverFollowed case_sentinel_failover
wants cluster && run_case RedisFaults.ClusterMovedAndAskFollowed case_cluster
wants tls && run_case RedisFaults.TlsCertificateAndNameChecked case_tls
wants acl && run_case RedisFaults.AclUserAndDatabase case_acl_and_database
wants lagging && run_case RedisFaults.LaggingGroupKeepsUnreadAndTakeoverRecipe case_lagging_group_and_takeover
e2e_summary
