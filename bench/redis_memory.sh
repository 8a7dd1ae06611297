#!/usr/bin/env bash
# redis_memory.sh -- what the Redis event manager costs in Redis's memory: bytes per remembered id and per stream entry.
#
#   bench/redis_memory.sh [COUNT] [BODY_BYTES]
#
# Starts a redis-server of its own (loopback, a free port, a temporary folder, no persistence),
# writes COUNT (default 100000) keys shaped as the manager's id keys ("{stream}:id:<32 hex>"
# holding an entry id, with an expiry), then COUNT entries with the manager's five fields and a
# body of BODY_BYTES (default 1500), and prints used_memory's growth per key and per entry. The
# figures behind docs/redis.md's memory price of dedupSeconds and maxLength.
set -uo pipefail
COUNT=${1:-100000}
BODY=${2:-1500}
command -v redis-server >/dev/null || { echo "redis_memory: redis-server is not installed" >&2; exit 2; }
DIR=$(mktemp -d "${TMPDIR:-/tmp}/kv-redis-memory.XXXXXX") || exit 2
PORT=$(perl -MIO::Socket::IP -e 'for (1..200) { my $p = 20000 + int(rand(12000)); if (IO::Socket::IP->new(LocalHost => "127.0.0.1", LocalPort => $p, Listen => 1)) { print $p; exit 0 } } exit 1') || exit 2
redis-server --port "$PORT" --bind 127.0.0.1 --save "" --appendonly no --dir "$DIR" --daemonize no --logfile "$DIR/log" </dev/null &
PID=$!
trap 'kill $PID 2>/dev/null; wait $PID 2>/dev/null; rm -rf "$DIR"' EXIT
for _ in $(seq 50); do [[ $(redis-cli -p "$PORT" ping 2>/dev/null) == PONG ]] && break; sleep 0.1; done
used() { redis-cli -p "$PORT" info memory | tr -d '\r' | sed -n 's/^used_memory://p'; }

before=$(used)
redis-cli -p "$PORT" eval "for i = 1, tonumber(ARGV[1]) do
  redis.call('SET', '{kvlumen:events}:id:' .. string.format('%016x%016x', 123456789, i), '1733571756535-' .. i, 'EX', 86400)
end" 0 "$COUNT" >/dev/null
after=$(used)
echo "id key (with its expiry): $(( (after - before) / COUNT )) bytes each"

before=$after
redis-cli -p "$PORT" eval "local body = string.rep('x', tonumber(ARGV[2]))
for i = 1, tonumber(ARGV[1]) do
  redis.call('XADD', 'kvlumen:events', '*', 'body', body, 'received', '2026-12-07T11:42:36.535120Z', 'listener', 'printhost:8080',
             'bytes', ARGV[2], 'id', string.format('%016x%016x', 123456789, i))
end" 0 "$COUNT" "$BODY" >/dev/null
after=$(used)
echo "stream entry with a $BODY-byte body: $(( (after - before) / COUNT )) bytes each ($(( (after - before) / COUNT - BODY )) besides the body)"
