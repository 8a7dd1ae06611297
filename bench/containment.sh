#!/usr/bin/env bash
# containment.sh -- kvlisten against a crowd and against large requests, with the default limits:
#   1. 5,000 silent connections from one address (127.0.0.2): how long a printer at another address
#      (127.0.0.1) waits for its answer meanwhile (goal: within 1 s);
#   2. 512 printers sending 1 MiB each at once: kvlisten's peak memory (goal: under 400 MiB) and its
#      memory once they are done (goal: back near where it started).
#
#   bench/containment.sh [--build DIR] [--silent N] [--large N]
#
# Loopback only; the event manager is the do-nothing one (KVEvNull), so that what is measured is
# the listener's own. Prints one line per measurement.
set -uo pipefail
SRC=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$SRC/build/native
SILENT=5000
LARGE=512
while [[ $# -gt 0 ]]; do
  case "$1" in
    --build) BUILD=$(cd "$2" && pwd); shift 2 ;;
    --silent) SILENT=$2; shift 2 ;;
    --large) LARGE=$2; shift 2 ;;
    *) echo "usage: containment.sh [--build DIR] [--silent N] [--large N]" >&2; exit 2 ;;
  esac
done
BIN=$BUILD/bin
source "$SRC/tests/e2e/e2e_lib.sh"
unset KVLUMEN_HOST_ADDRESSES
WORK=$(mktemp -d /tmp/kv-containment.XXXXXX)
export KVLUMEN_REGISTRY=$WORK/registry.reg
LISTENER=
trap '[[ -n $LISTENER ]] && kill -9 $LISTENER 2>/dev/null; wait 2>/dev/null; rm -rf "$WORK"' EXIT
ulimit -n 65536 2>/dev/null || ulimit -n "$(ulimit -Hn)"

REG='HKLM\SOFTWARE\Korvane\KVLumen'
PORT=$(free_port 127.0.0.1)
"$BIN/kvregsvr" /s "$BIN/KVEvLsn.so" && "$BIN/kvregsvr" /s "$BIN/KVEvNull.so" || exit 1
"$BIN/kvreg" add "$REG\\Listener" /v ports /t REG_SZ /d "$PORT" /f >/dev/null
# A 1 MiB body and its header section are a little more than the default maxRequestKB; the 512
# printers all come from 127.0.0.1, more than maxConnectionsPerPeer lets in.
"$BIN/kvreg" add "$REG\\Listener" /v maxConnectionsPerPeer /t REG_DWORD /d 1024 /f >/dev/null
"$BIN/kvreg" add "$REG\\Listener" /v maxRequestKB /t REG_DWORD /d 2048 /f >/dev/null
KVLUMEN_LISTEN=127.0.0.1 "$BIN/kvlisten" >"$WORK/kvlisten.out" 2>&1 &
LISTENER=$!
wait_until 20 eval '(exec 3<>/dev/tcp/127.0.0.1/'"$PORT"') 2>/dev/null' || { echo "kvlisten did not listen"; exit 1; }
kib() { awk -v f="$1" '$1 == f":" { print $2 }' "/proc/$LISTENER/status"; }

# 1. The crowd from 127.0.0.2, then a printer from 127.0.0.1.
"$BIN/load_generator" idle 127.0.0.1 "$PORT" "$SILENT" 15 127.0.0.2 >"$WORK/idle.out" 2>&1 &
IDLE=$!
wait_until 30 grep -q '^open' "$WORK/idle.out" || { echo "the silent crowd could not connect: $(cat "$WORK/idle.out")"; exit 1; }
printer=$("$BIN/load_generator" run 127.0.0.1 "$PORT" --requests 20 --concurrency 1 2>&1)
echo "silent crowd: $SILENT connections from 127.0.0.2; 20 events from 127.0.0.1 one after another: $printer"
wait "$IDLE"
echo "silent crowd: $(tail -1 "$WORK/idle.out") (connections the listener closed before the crowd gave up)"

# 2. Large requests at once.
sleep 2
before=$(kib VmRSS)
peak_sampler() { local peak=0 now; while kill -0 "$LISTENER" 2>/dev/null; do now=$(kib VmRSS); ((now > peak)) && peak=$now && echo "$peak" >"$WORK/peak"; sleep 0.05; done; }
peak_sampler &
SAMPLER=$!
large=$("$BIN/load_generator" run 127.0.0.1 "$PORT" --requests "$LARGE" --concurrency "$LARGE" --body 1048576 --timeout 60 2>&1)
sleep 2
after=$(kib VmRSS)
kill "$SAMPLER" 2>/dev/null
echo "large requests: $LARGE x 1 MiB at once: $large"
echo "memory: $((before / 1024)) MiB before, peak $(($(cat "$WORK/peak") / 1024)) MiB (VmHWM $(($(kib VmHWM) / 1024)) MiB), $((after / 1024)) MiB 2 s after"
# The handler threads the burst made wait 30 s for further connections, their stacks with them.
sleep 33
echo "memory: $(($(kib VmRSS) / 1024)) MiB once the idle handler threads have ended"
