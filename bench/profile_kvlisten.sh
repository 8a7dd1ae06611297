#!/usr/bin/env bash
# profile_kvlisten.sh -- where kvlisten spends its time under load: CPU, context switches and faults, system calls, or instructions per event.
#
#   bench/profile_kvlisten.sh [--build DIR] [--manager null|spool|redis] [--requests N] [--concurrency C]
#                             [--body BYTES] [--framing length|chunked] [--tool rusage|strace|callgrind|perf]
#
# Starts one kvlisten as vs_nginx.sh does (its own registry store, the do-nothing event manager
# unless --manager spool or redis; with redis, a redis-server of its own beside it) under the tool, sends N requests (default 20000, 2000 under callgrind)
# with C in flight (default 64), stops it and prints, per event:
#   rusage     CPU time (user, system), voluntary and involuntary context switches and minor page
#              faults of the whole process, its threads included (GNU time: Debian's "time")
#   strace     the system calls made (strace -f -c; Debian's "strace")
#   callgrind  the instructions run in user space, and the functions that cost most, with what
#              they call (valgrind's callgrind); start-up and stop are counted in, about 1% of the
#              total at 2000 requests
#   perf       kvlisten's CPU time by what it was spent on (thread creation, thread stacks, TCP,
#              stat, user space...), from kernel and user stacks sampled system-wide while the
#              load runs (perf record -a; Debian's "linux-perf", and the right to use it)
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
[[ $MANAGER == null || $MANAGER == spool || $MANAGER == redis ]] || { echo "profile_kvlisten: --manager is null, spool or redis" >&2; exit 2; }
BIN=$BUILD/bin
LOADGEN=$BIN/load_generator
WORK=$(mktemp -d "${TMPDIR:-/tmp}/kv-profile.XXXXXX") || exit 2
case $TOOL in
  rusage) KVLISTEN_WRAPPER=(/usr/bin/time -v -o "$WORK/rusage"); REQUESTS=${REQUESTS:-20000} ;;
  strace) KVLISTEN_WRAPPER=(strace -f -c -o "$WORK/strace"); REQUESTS=${REQUESTS:-20000} ;;
  callgrind) KVLISTEN_WRAPPER=(valgrind --tool=callgrind --callgrind-out-file="$WORK/callgrind.out")
             REQUESTS=${REQUESTS:-2000} ;;
  perf) KVLISTEN_WRAPPER=(); REQUESTS=${REQUESTS:-20000} ;;
  *) echo "profile_kvlisten: --tool is rusage, strace, callgrind or perf" >&2; exit 2 ;;
esac
[[ $TOOL == perf ]] && PROGRAM=perf || PROGRAM=${KVLISTEN_WRAPPER[0]}
command -v "$PROGRAM" >/dev/null || { echo "profile_kvlisten: $PROGRAM is not installed" >&2; exit 2; }
source "$SRC/bench/servers.sh"

SERVER=""
RECORDER=""
cleanup() {
  stop_process "$RECORDER"
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

if [[ $TOOL == perf ]]; then
  perf record -a -e cpu-clock -F 2000 -g -o "$WORK/perf.data" >/dev/null 2>"$WORK/perf.err" &
  RECORDER=$!
  sleep 1  # perf needs a moment before it samples
fi
result=$("$LOADGEN" run "${HOST[$MANAGER]}" "${PORT[$MANAGER]}" --requests "$REQUESTS" --concurrency "$CONCURRENCY" \
           --body "$BODY" --framing "$FRAMING" --timeout 300)
delivered=$("${MANAGER}_delivered")
if [[ -n $RECORDER ]]; then
  kill -INT "$RECORDER"
  wait "$RECORDER"
  RECORDER=""
fi
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
  perf)
    # Each sample goes to the first of these that its stack passes through.
    perf script -i "$WORK/perf.data" --comm kvlisten -F comm,ip,sym 2>/dev/null | awk '
      function kind(stack) {
        if (stack ~ / (clone3|kernel_clone|copy_process|wake_up_new_task|schedule_tail|ret_from_fork[a-z_]*) /) return "thread creation (clone)"
        if (stack ~ / (__x64_sys_exit|do_exit) /) return "thread exit"
        if (stack ~ / (__x64_sys_munmap|__x64_sys_mmap|__x64_sys_mprotect|__x64_sys_madvise) /) return "thread stacks (mmap, munmap, mprotect, madvise)"
        if (stack ~ / (asm_exc_page_fault|exc_page_fault) /) return "page faults (fresh stack pages, mostly)"
        if (stack ~ / (__x64_sys_newfstatat|vfs_fstatat) /) return "stat (the registry store, closesocket)"
        if (stack ~ / (__x64_sys_futex) /) return "futex (locks, waits)"
        if (stack ~ / (__x64_sys_(sendto|recvfrom|shutdown|accept4|close|poll|getsockopt)|net_rx_action|tcp_[a-z_]+) /) return "TCP (accept, recv, send, shutdown, close, poll)"
        if (stack ~ / ffffffff/) return "other kernel work (interrupts, other system calls)"
        return "user space"
      }
      function count() { if (stack != "") { n[kind(stack)]++; total++ } stack = "" }
      /^kvlisten/ { count(); stack = " "; next }
      NF >= 2 { stack = stack $1 " " $2 " " }
      END {
        count()
        if (total == 0) { print "no samples of kvlisten (see perf record: can it sample here?)"; exit }
        printf "kvlisten CPU time by kind, from %d samples:\n", total
        for (k in n) printf "  %5.1f%%  %s\n", 100 * n[k] / total, k | "sort -rn"
      }' ;;
esac
