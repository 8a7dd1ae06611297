#!/usr/bin/env bash
# profile_kvlisten.sh -- where kvlisten spends its time under load: CPU, context switches and faults, system calls, or instructions per event.
#
#   bench/profile_kvlisten.sh [--build DIR] [--manager null|spool] [--requests N] [--concurrency C]
#                             [--body BYTES] [--framing length|chunked] [--tool rusage|strace|callgrind]
#
# Starts one kvlisten as vs_nginx.sh does (its own registry store, the do-nothing event manager
# unless --manager spool) under the tool, sends N requests (default 20000, 2000 under callgrind)
# with C in flight (default 64), stops it and prints, per event:
#   rusage     CPU time (user, system), voluntary and involuntary context switches and minor page
#              faults of the whole process, its threads included (GNU time: Debian's "time")
#   strace     the system calls made (strace -f -c; Debian's "strace")
#   callgrind  the instructions run in user space, and the functions that cost most, with what
#              they call (valgrind's callgrind); start-up and stop are counted in, about 1% of the
#              total at 2000 requests
# Only rusage leaves kvlisten near its real speed; the counts of the others do not depend on it.
set -uo pipefail

SRC=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$SRC/build/native
MANAGER=null
REQUESTS=""
CONCURRENCY=64
BODY=2048
FRAMING=length
TOOL=rusage
while [[ $# -gt 0 ]]; do
  case $1 in
    --build) BUILD=$(cd "$2" && pwd) || exit 2; shift 2 ;;
    --manager) MANAGER=$2; shift 2 ;;
    --requests) REQUESTS=$2; shift 2 ;;
    --concurrency) CONCURRENCY=$2; shift 2 ;;
    --body) BODY=$2; shift 2 ;;
    --framing) FRAMING=$2; shift 2 ;;
    --tool) TOOL=$2; shift 2 ;;
    -h|--help) sed -n '2,/^set -uo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "profile_kvlisten: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
done
[[ $MANAGER == null || $MANAGER == spool ]] || { echo "profile_kvlisten: --manager is null or spool" >&2; exit 2; }
BIN=$BUILD/bin
LOADGEN=$BIN/load_generator
WORK=$(mktemp -d "${TMPDIR:-/tmp}/kv-profile.XXXXXX") || exit 2
case $TOOL in
  rusage) KVLISTEN_WRAPPER=(/usr/bin/time -v -o "$WORK/rusage"); REQUESTS=${REQUESTS:-20000} ;;
  strace) KVLISTEN_WRAPPER=(strace -f -c -o "$WORK/strace"); REQUESTS=${REQUESTS:-20000} ;;
  callgrind) KVLISTEN_WRAPPER=(valgrind --tool=callgrind --callgrind-out-file="$WORK/callgrind.out")
             REQUESTS=${REQUESTS:-2000} ;;
  *) echo "profile_kvlisten: --tool is rusage, strace or callgrind" >&2; exit 2 ;;
esac
command -v "${KVLISTEN_WRAPPER[0]}" >/dev/null || { echo "profile_kvlisten: ${KVLISTEN_WRAPPER[0]} is not installed" >&2; exit 2; }
source "$SRC/bench/servers.sh"

SERVER=""
cleanup() {
  stop_process "$SERVER"
  "${MANAGER}_stop"
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'echo "profile_kvlisten: interrupted" >&2; exit 130' INT TERM

"${MANAGER}_start" || { echo "profile_kvlisten: kvlisten did not start" >&2; exit 2; }
# kvlisten itself: the wrapper's child (time, strace), or the wrapper (valgrind runs in-process).
SERVER=$(children_of "${PID[$MANAGER]}")
SERVER=${SERVER:-${PID[$MANAGER]}}

result=$("$LOADGEN" run "${HOST[$MANAGER]}" "${PORT[$MANAGER]}" --requests "$REQUESTS" --concurrency "$CONCURRENCY" \
           --body "$BODY" --framing "$FRAMING" --timeout 300)
delivered=$("${MANAGER}_delivered")
stop_process "$SERVER"
wait "${PID[$MANAGER]}" 2>/dev/null || echo "profile_kvlisten: kvlisten ended with status $?" >&2
PID[$MANAGER]=""

echo "kvlisten + $("${MANAGER}_label" | sed 's/^kvlisten + //'), $REQUESTS requests of $BODY bytes ($FRAMING), $CONCURRENCY in flight, under $TOOL"
echo "load: $result"
echo "delivered: ${delivered%% *} events"
echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
case $TOOL in
  rusage)
    awk -v n="$REQUESTS" -F': ' '
      /User time/ { u = $2 } /System time/ { s = $2 } /Voluntary context/ { v = $2 }
      /Involuntary context/ { i = $2 } /Minor/ { f = $2 }
      END { printf "per event: CPU %.1f us (user %.1f, system %.1f), context switches %.2f voluntary, %.2f involuntary, minor page faults %.2f\n",
                   (u + s) * 1e6 / n, u * 1e6 / n, s * 1e6 / n, v / n, i / n, f / n }' "$WORK/rusage" ;;
  strace)
    echo "system calls per event (those made at least once per ten events):"
    awk -v n="$REQUESTS" '$1 ~ /^[0-9.]+$/ && NF >= 5 {
        calls = $4; name = $NF; if (calls >= n / 10) printf "  %-18s %6.2f\n", name, calls / n }' "$WORK/strace" ;;
  callgrind)
    callgrind_annotate --inclusive=yes "$WORK/callgrind.out" 2>/dev/null |
      awk -v n="$REQUESTS" '
        /PROGRAM TOTALS/ { gsub(",", "", $1); printf "instructions per event, user space: %.0f\nmost costly, inclusive, per event:\n", $1 / n; next }
        /^ *[0-9,]+ \(/ && shown < 30 {
          ir = $1; gsub(",", "", ir); name = $0; sub(/^[^)]*\)  */, "", name); sub(/ \[.*$/, "", name); sub(/^[^ :]*:/, "", name)
          if (name ~ /^(start_thread|clone|0x)/ || seen[name]++) next
          printf "  %9.0f  %s\n", ir / n, substr(name, 1, 110); shown++ }' ;;
esac
