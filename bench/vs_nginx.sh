#!/usr/bin/env bash
# vs_nginx.sh -- kvlisten side by side with nginx on this machine: events/s, p99, CPU per event, memory per idle connection, large-body cost.
#
#   bench/vs_nginx.sh [--build DIR] [--rounds N] [--seconds S] [--concurrency C] [--body BYTES]
#                     [--servers "floor null spool redis nginx wine"] [--idle N] [--large "1 64"]
#                     [--compare DIR] [--win-build DIR] [--smoke]
#
# Every server runs at once, each on a loopback port of its own; the rounds take them in turn
# (a different one first each round), so that what else the machine does falls on all of them
# alike, and the table shows the median of the rounds. A round sends, per server and framing
# (Content-Length, chunked), one request per connection with C in flight (default 64) for S
# seconds (default 3) through bench's load_generator, which checks every answer. Servers:
#   null   kvlisten with the do-nothing event manager (KVEvNull), which counts its deliveries
#   uncounted  the same with KVLUMEN_COUNTERS=off: no counters, /metrics or printer table (their cost)
#   spool  kvlisten with the spool event manager (KVEvSpool: a file per event, on disk before
#          Deliver returns; concurrent deliveries share their flushes)
#   redis  kvlisten with the Redis event manager (KVEvRedis) and a redis-server of its own
#          (append-only file, appendfsync always: every event on disk before Redis answers)
#   nginx  Debian's nginx, 2 workers, answering every POST with the same body by "return 200"
#   floor  bench's floor_server: accept, read, answer, close on epoll with 2 threads, delivering
#          nowhere: what any server pays for the traffic alone
#   wine   the Windows build's kvlisten.exe with the do-nothing event manager under Wine, in a
#          prefix of its own (build/win/bench-wineprefix, made on first use), its wineserver's
#          CPU time counted with it; by default only when the Windows build and wine are there
# Each kvlisten has a registry store of its own in the run's temporary folder; nginx a prefix and
# a configuration of its own there, redis-server a folder. After each measurement the harness
# checks that the server delivered every answered request exactly once, whole: the do-nothing
# manager's counter, the spool's files (their number and their bytes), or the stream's entries
# (XRANGE: their number, their bodies' bytes, each body compared with the one sent; counted
# entries are removed). CPU per event is the server processes' CPU time (user and system, from
# /proc; kvlisten and redis-server together) over the events; memory per idle connection is the growth
# of their resident memory while N connections (default 1000) sit idle, over N; the large-body
# line is kvlisten's CPU time for one request of the largest size over one of the smallest.
#
# --compare DIR: also kvlisten of the build tree DIR (say, of the commit before a change) with
# each event manager, in the same rounds, for a before/after that the machine's load cannot skew.
#
# --win-build DIR: the Windows build tree for the wine server (default build/win).
#
# --smoke: one short round with tiny counts, each spooled file compared with the body sent; for
# ctest, so that the harness keeps working. Exit status 0 when every answer was right and every
# event delivered exactly once; 1 otherwise; 2 when a server could not be started.
#
# Adding a server: define its functions in bench/servers.sh and name it in --servers.
set -uo pipefail

SRC=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$SRC/build/native
ROUNDS=5
SECONDS_PER_RUN=3
CONCURRENCY=64
BODY=2048
SERVERS="floor null spool redis nginx"
[[ -e $SRC/build/win/bin/kvlisten.exe ]] && command -v wine >/dev/null && SERVERS+=" wine"
IDLE=1000
LARGE="1 64"
COMPARE=""
SMOKE=0
while [[ $# -gt 0 ]]; do
  case $1 in
    --build) BUILD=$(cd "$2" && pwd) || exit 2; shift 2 ;;
    --rounds) ROUNDS=$2; shift 2 ;;
    --seconds) SECONDS_PER_RUN=$2; shift 2 ;;
    --concurrency) CONCURRENCY=$2; shift 2 ;;
    --body) BODY=$2; shift 2 ;;
    --servers) SERVERS=$2; shift 2 ;;
    --idle) IDLE=$2; shift 2 ;;
    --large) LARGE=$2; shift 2 ;;
    --compare) COMPARE=$(cd "$2" && pwd) || exit 2; shift 2 ;;
    --win-build) WIN_BUILD=$(cd "$2" && pwd) || exit 2; shift 2 ;;
    --smoke) SMOKE=1; ROUNDS=1; SECONDS_PER_RUN=0.5; CONCURRENCY=8; IDLE=16; LARGE="1 4"; shift ;;
    -h|--help) sed -n '2,/^set -uo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "vs_nginx: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
done

BIN=$BUILD/bin
LOADGEN=$BIN/load_generator
source "$SRC/bench/servers.sh"
if [[ -n $COMPARE ]]; then
  kvlisten_server null_compared null "$COMPARE/bin" "kvlisten + do-nothing event manager, ${COMPARE#$SRC/}"
  kvlisten_server spool_compared spool "$COMPARE/bin" "kvlisten + spool event manager, ${COMPARE#$SRC/}"
  kvlisten_server redis_compared redis "$COMPARE/bin" "kvlisten + Redis event manager, ${COMPARE#$SRC/}"
  SERVERS=$(sed 's/\bnull\b/null null_compared/; s/\bspool\b/spool spool_compared/; s/\bredis\b/redis redis_compared/' <<<"$SERVERS")
fi

tools="kvlisten kvreg kvregsvr KVEvLsn.so KVEvSpool.so KVEvNull.so load_generator"
[[ " $SERVERS " == *" redis "* ]] && tools+=" KVEvRedis.so"
[[ " $SERVERS " == *" floor "* ]] && tools+=" floor_server"
for tool in $tools; do
  [[ -e $BIN/$tool ]] || { echo "vs_nginx: $BIN/$tool was not built" >&2; exit 2; }
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/kv-vs-nginx.XXXXXX") || exit 2
cleanup() {
  local name
  for name in $SERVERS; do declare -F "${name}_stop" >/dev/null && "${name}_stop"; done
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'echo "vs_nginx: interrupted" >&2; exit 130' INT TERM

# Failures are kept in a file: measurements run in subshells.
complain() { echo "vs_nginx: $*" | tee -a "$WORK/failures" >&2; }

# ---- measurements ------------------------------------------------------------------------------

field() { sed -n "s/.*\\b$1=\\([^ ]*\\).*/\\1/p" <<<"$2"; }

# wait_delivered NAME COUNT: until the server has delivered at least COUNT events (30 s at most).
delivered_at_least() { local got; got=$("${1}_delivered"); [[ ${got%% *} -ge $2 ]]; }

# measure NAME BODY LOADGEN-OPTIONS...: one load run of BODY-byte requests; checks that the
# server delivered each answered request once, whole, and prints the load generator's line with
# the server's CPU time (cpu_us) and the events counted (events).
measure() {
  local name=$1 body=$2 procs cpu0 cpu1 before after out ok failed expected_bytes
  shift 2
  procs=$("${name}_processes")
  before=$("${name}_delivered")
  cpu0=$(cpu_ticks $procs)
  out=$("$LOADGEN" run "${HOST[$name]}" "${PORT[$name]}" --body "$body" "$@" 2>>"$WORK/load_generator.err")
  ok=$(field completed "$out")
  failed=$(field failed "$out")
  if [[ -z $ok ]]; then
    complain "$(${name}_label): the load generator gave no result: $(tail -n 3 "$WORK/load_generator.err")"
    return 1
  fi
  [[ $failed -eq 0 ]] || complain "$(${name}_label): $failed requests failed ($(tail -n 1 "$WORK/load_generator.err"))"
  if [[ -n $before ]]; then
    wait_until 30 delivered_at_least "$name" $((${before%% *} + ok))
    sleep 0.1  # a delivery too many would show now
    after=$("${name}_delivered")
    expected_bytes=$((${before#* } + ok * body))
    if [[ $((${after%% *} - ${before%% *})) -ne $ok || ${after#* } -ne $expected_bytes ]]; then
      complain "$(${name}_label): $ok answered, but $((${after%% *} - ${before%% *})) delivered" \
               "($((${after#* } - ${before#* })) bytes, $((expected_bytes - ${before#* })) expected)"
    fi
  fi
  cpu1=$(cpu_ticks $procs)
  echo "$out cpu_us=$(((cpu1 - cpu0) * TICK_US)) events=$ok"
}

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print "nan"; else if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# ---- the run -------------------------------------------------------------------------------------

read -r -a NAMES <<<"$SERVERS"
for name in "${NAMES[@]}"; do
  declare -F "${name}_start" >/dev/null || { echo "vs_nginx: no server named $name" >&2; exit 2; }
  "${name}_start" || { echo "vs_nginx: $(${name}_label) did not start" >&2; exit 2; }
done
mkdir -p "$WORK/results"
# The body every request carries (the Redis count compares each entry with it).
"$LOADGEN" request-body "$BODY" >"$WORK/body"
LOAD_START=$(cut -d' ' -f1-3 /proc/loadavg)

# Warm-up: every server once, unmeasured but checked.
for name in "${NAMES[@]}"; do
  measure "$name" "$BODY" --seconds 0.3 --concurrency "$CONCURRENCY" >/dev/null
done

for ((round = 0; round < ROUNDS; round++)); do
  for ((i = 0; i < ${#NAMES[@]}; i++)); do
    name=${NAMES[$(((i + round) % ${#NAMES[@]}))]}
    for framing in length chunked; do
      line=$(measure "$name" "$BODY" --seconds "$SECONDS_PER_RUN" --concurrency "$CONCURRENCY" --framing "$framing") || continue
      events=$(field events "$line")
      awk -v r="$(field rate "$line")" -v p="$(field p99_ms "$line")" -v c="$(field cpu_us "$line")" -v e="$events" \
        'BEGIN { printf "%s %s %s\n", r, p, (e > 0 ? c / e : 0) }' >>"$WORK/results/$name.$framing"
    done
  done
done

# Large bodies: the listener's own cost per request (do-nothing manager), smallest size against largest.
large_line=""
if [[ " ${NAMES[*]} " == *" null "* && -n $LARGE ]]; then
  read -r -a sizes <<<"$LARGE"
  costs=()
  for mib in "${sizes[@]}"; do
    # Enough small requests that 10 ms clock ticks do not decide the ratio.
    requests=$(( mib <= 4 ? 256 : 3 ))
    (( SMOKE )) && requests=2
    line=$(measure null $((mib << 20)) --requests "$requests" --concurrency 1 --timeout 300) || continue
    costs+=("$(awk -v c="$(field cpu_us "$line")" -v n="$requests" 'BEGIN { printf "%.1f", c / n / 1000 }')")
    costs+=("$(field p50_ms "$line")")
  done
  if [[ ${#costs[@]} -ge 4 ]]; then
    large_line=$(awk -v a="${sizes[0]}" -v b="${sizes[${#sizes[@]} - 1]}" -v ca="${costs[0]}" -v wa="${costs[1]}" \
                     -v cb="${costs[${#costs[@]} - 2]}" -v wb="${costs[${#costs[@]} - 1]}" 'BEGIN {
      printf "| %d MiB vs %d MiB body, kvlisten + do-nothing manager | %.0fx CPU | CPU %.1f ms vs %.1f ms; time %.0f ms vs %.1f ms (%.0fx) |",
             b, a, (ca > 0 ? cb / ca : 0), cb, ca, wb, wa, (wa > 0 ? wb / wa : 0) }')
  fi
fi

# Every spooled message holds exactly the body sent (smoke runs only: the files are few); so does
# every stream entry (compared as they were counted).
if (( SMOKE )) && [[ " ${NAMES[*]} " == *" spool "* ]]; then
  while IFS= read -r file; do
    cmp -s "$file" "$WORK/body" || { complain "spooled $(basename "$file") differs from the body sent"; break; }
  done < <(find "$WORK/spool/spool" -maxdepth 1 -name 'event-*.xml')
fi

for name in "${NAMES[@]}"; do
  [[ ${KIND[$name]:-} == redis ]] || continue
  wrong=$(redis_wrong_bodies "$name")
  [[ ${wrong:-0} -eq 0 ]] || complain "$(${name}_label): $wrong stream entries differ from the body sent"
done

# Idle connections: the resident memory a server grows by per connection, for kvlisten and nginx,
# each started afresh for it (in a process that has run the load, memory freed earlier would
# take the connections in unseen). Last, because kvlisten delivers an (empty) event for each of
# them once they close.
idle_lines=()
for name in "${NAMES[@]}"; do "${name}_stop" || complain "$(${name}_label) did not stop cleanly"; done
for name in null nginx; do
  [[ " ${NAMES[*]} " == *" $name "* && $IDLE -gt 0 ]] || continue
  "${name}_start" || { complain "$(${name}_label) did not start again"; continue; }
  procs=$("${name}_processes")
  rss0=$(rss_kib $procs)
  rss1=$rss0
  "$LOADGEN" idle "${HOST[$name]}" "${PORT[$name]}" "$IDLE" 3 >"$WORK/idle.out" 2>>"$WORK/load_generator.err" &
  idler=$!
  if wait_until 30 eval "grep -qs '^open ' '$WORK/idle.out' || process_gone $idler"; then
    sleep 1
    rss1=$(rss_kib $procs)
  fi
  wait "$idler" || complain "$(${name}_label): $IDLE idle connections could not be opened ($(tail -n 1 "$WORK/load_generator.err"))"
  early=$(sed -n 's/^closed_early=//p' "$WORK/idle.out")
  [[ ${early:-0} -eq 0 ]] || complain "$(${name}_label): $early of $IDLE idle connections were ended by the server"
  idle_lines+=("$(awk -v l="$(${name}_label)" -v d=$((rss1 - rss0)) -v n="$IDLE" \
                    'BEGIN { printf "| memory per idle connection, %s | %.1f KiB | resident memory growth over %d connections, fresh process |", l, d / n, n }')")
  "${name}_stop" || complain "$(${name}_label) did not stop cleanly"
done

# kvlisten writes only its own notes to standard error; anything else (a sanitizer's report, say)
# is shown.
for name in "${NAMES[@]}"; do
  err=$WORK/$name/kvlisten.err
  foreign=$([[ -f $err ]] && kvlisten_foreign_lines "$err")
  [[ -n $foreign ]] && complain "$(${name}_label) wrote to standard error:"$'\n'"$(head -n 40 <<<"$foreign")"
done

# ---- the table -----------------------------------------------------------------------------------

echo "kvlisten vs nginx: $ROUNDS rounds of ${SECONDS_PER_RUN} s per server and framing, interleaved; medians"
echo "$CONCURRENCY printers in flight, one ${BODY}-byte request per connection, every answer checked, every event counted"
echo "machine: $(nproc) cores, load average $LOAD_START at the start, $(cut -d' ' -f1-3 /proc/loadavg) at the end; nginx $(nginx -v 2>&1 | sed 's/.*nginx\///')"
echo
echo "| server | framing | events/s | p99 ms | CPU µs per event | events/s vs nginx | p99 vs nginx |"
echo "|---|---|---|---|---|---|---|"
for name in "${NAMES[@]}"; do
  for framing in length chunked; do
    file=$WORK/results/$name.$framing
    [[ -s $file ]] || continue
    rate=$(cut -d' ' -f1 "$file" | median)
    p99=$(cut -d' ' -f2 "$file" | median)
    cpu=$(cut -d' ' -f3 "$file" | median)
    ref=$WORK/results/nginx.$framing
    if [[ -s $ref && $name != nginx ]]; then
      vs=$(awk -v r="$rate" -v p="$p99" -v nr="$(cut -d' ' -f1 "$ref" | median)" -v np="$(cut -d' ' -f2 "$ref" | median)" \
             'BEGIN { printf "%.2fx | %.2fx", r / nr, p / np }')
    else
      vs="- | -"
    fi
    awk -v l="$(${name}_label)" -v f="$framing" -v r="$rate" -v p="$p99" -v c="$cpu" -v vs="$vs" \
      'BEGIN { printf "| %s | %s | %.0f | %.1f | %.0f | %s |\n", l, f, r, p, c, vs }'
  done
done
if [[ -n $large_line || ${#idle_lines[@]} -gt 0 ]]; then
  echo
  echo "| measure | value | detail |"
  echo "|---|---|---|"
  [[ -n $large_line ]] && echo "$large_line"
  for line in "${idle_lines[@]}"; do echo "$line"; done
fi
if [[ -s $WORK/failures ]]; then
  echo
  echo "FAILED:"
  cat "$WORK/failures"
  exit 1
fi
(( SMOKE )) && echo "[  PASSED  ] 1 test."  # counted by test.sh like a gtest program's summary
exit 0
