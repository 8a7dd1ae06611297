#!/usr/bin/env bash
# interfaces_e2e.sh -- the host name as every interface that is up (kvlisten --interfaces), end to end, in a private network namespace of its own.
#
#   interfaces_e2e.sh BIN_DIR SOURCE_DIR
#
# The script runs itself again inside new network, mount and host-name namespaces, where it makes
# a veth pair with addresses of its own (IPv4 and IPv6), a host name and a hosts file that maps
# it to 127.0.1.1 as a stock Debian does. Every listener it starts, every request and every stop's
# wake-up stays inside that namespace: the machine's own interfaces are never listened on nor
# connected to. Where namespaces cannot be made, it says so and tests nothing.
# Prints one line per case, then "N passed, N failed"; exits non-zero when a case failed.
set -uo pipefail

BIN=$(cd "${1:?usage: interfaces_e2e.sh BIN_DIR SOURCE_DIR}" && pwd) || exit 2
SRC=$(cd "${2:?usage: interfaces_e2e.sh BIN_DIR SOURCE_DIR}" && pwd) || exit 2

if [[ -z ${KV_E2E_IN_NAMESPACE:-} ]]; then
  if ! unshare -n -m -u --propagation private true 2>/dev/null; then
    echo "interfaces_e2e: SKIPPED -- private network namespaces cannot be made here (root or user namespaces needed): kvlisten --interfaces is not tested"
    printf '[  SKIPPED ] 1 test, listed below:\n[  SKIPPED ] Interfaces.AllOfThem\n'
    exit 0
  fi
  exec unshare -n -m -u --propagation private env KV_E2E_IN_NAMESPACE=1 bash "$0" "$@"
fi

source "$SRC/tests/e2e/e2e_lib.sh"
for tool in kvlisten kvreg kvregsvr KVEvLsn.so KVEvSpool.so; do
  [[ -e $BIN/$tool ]] || { echo "interfaces_e2e: $BIN/$tool was not built"; echo "0 passed, 1 failed"; exit 1; }
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/kv-e2e-interfaces.XXXXXX") || exit 2
export KVLUMEN_REGISTRY=$WORK/registry.reg
SPOOL=$WORK/spool
LOG=$WORK/component.log
mkdir -p "$SPOOL" "$WORK/responses"
HOST_PID=""
HOST_ERR=$WORK/kvlisten.err
PORT=""
HOSTNAME_HERE=kvns$$
VETH=kv$$
V4=(10.213.7.1 10.213.7.2)
V6=(fd13:7::1 fd13:7::2)
REG='HKLM\SOFTWARE\Korvane\KVLumen'

cleanup() {
  stop_process "$HOST_PID"
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'echo "interfaces_e2e: interrupted"; exit 130' INT TERM

e2e_diagnose() {
  echo "kvlisten stderr:"
  tail -n 15 "$HOST_ERR" 2>/dev/null
  echo "addresses in the namespace:"
  ip -br addr 2>&1
}

# ---- the namespace's own network ------------------------------------------------------------

setup_network() {
  ip link set lo up || return 1
  # Addresses are usable at once: no duplicate detection on links nobody else is on.
  sysctl -qw net.ipv6.conf.default.accept_dad=0 net.ipv6.conf.all.accept_dad=0 2>/dev/null
  ip link add "${VETH}a" type veth peer name "${VETH}b" || return 1
  ip addr add "${V4[0]}/24" dev "${VETH}a" && ip addr add "${V4[1]}/24" dev "${VETH}b" || return 1
  if [[ -d /proc/sys/net/ipv6 ]]; then
    ip addr add "${V6[0]}/64" dev "${VETH}a" nodad && ip addr add "${V6[1]}/64" dev "${VETH}b" nodad || return 1
  else
    echo "    this kernel has no IPv6: the IPv4 addresses only"
    V6=()
  fi
  ip link set "${VETH}a" up && ip link set "${VETH}b" up || return 1
  hostname "$HOSTNAME_HERE" || return 1
  printf '127.0.0.1 localhost\n127.0.1.1 %s\n::1 localhost ip6-localhost\n' "$HOSTNAME_HERE" >"$WORK/hosts"
  mount --bind "$WORK/hosts" /etc/hosts
}

# ---- helpers ------------------------------------------------------------------------------------

start_host() {  # kvlisten options...
  : >"$HOST_ERR"
  "$BIN/kvlisten" "$@" >/dev/null 2>"$HOST_ERR" </dev/null &
  HOST_PID=$!
  wait_until 15 host_announced_or_gone
  PORT=$(sed -n 's/^kvlisten: listening on port \([0-9]*\) .*/\1/p' "$HOST_ERR" | head -n 1)
  [[ -n $PORT ]] || { fail "kvlisten $* announced no port: $(cat "$HOST_ERR")"; return 1; }
}
host_announced_or_gone() { grep -q '^kvlisten: listening on port ' "$HOST_ERR" || process_gone "$HOST_PID"; }
announced_addresses() { sed -n 's/^kvlisten: listening on port [0-9]* at \(.*\) (the addresses.*/\1/p' "$HOST_ERR"; }

# The stop connects to the listener's own addresses to wake it; its log says when nobody answered.
stop_host() {
  local pid=$HOST_PID
  HOST_PID=""
  ends_cleanly "$pid" TERM kvlisten || return 1
  [[ $(grep "^kvlisten: " "$HOST_ERR" | tail -n 1) == 'kvlisten: stopped' ]] || fail "kvlisten did not say 'stopped': $(tail -n 2 "$HOST_ERR")"
  grep -q 'wake-up was not acknowledged' "$LOG" && fail "the stop's wake-up reached no listening socket"
  : >"$LOG"
}

deliver_to() {  # address label
  local host=$1 before
  before=$(spool_count "$SPOOL")
  curl -s -g -i --max-time 20 --data-binary @"$SRC/samples/deliver.xml" -H 'Content-Type: text/xml' \
    "http://$(url_host "$host"):$PORT/" >"$WORK/responses/$2" 2>/dev/null || fail "curl to $host exited $?"
  check_response "$WORK/responses/$2" "$host"
  check_spooled "$SPOOL" "$before" "$SRC/samples/deliver.xml" "$host"
}

refused_at() {  # address
  curl -s -g --max-time 5 -o /dev/null "http://$(url_host "$1"):$PORT/"
  [[ $? -eq 7 ]] || fail "something answers on $1:$PORT, where the listener must not listen"
}

# ---- cases ----------------------------------------------------------------------------------------

# The namespace has its veth pair up with two IPv4 and two IPv6 addresses, a host name of its own
# that resolves to 127.0.1.1, and the listener registered in a store of the test's.
case_setup() {
  setup_network || { fail "the namespace's network could not be made: $(ip -br addr 2>&1 | tr '\n' ' ')"; return 1; }
  "$BIN/kvregsvr" /s "$BIN/KVEvLsn.so" && "$BIN/kvregsvr" /s "$BIN/KVEvSpool.so" || fail "kvregsvr"
  local port
  port=$(free_port 127.0.0.1) || { fail "no free port"; return 1; }
  "$BIN/kvreg" add "$REG\\Listener" /v ports /t REG_SZ /d "$port" /f >/dev/null &&
    "$BIN/kvreg" add "$REG\\EventManager" /v spool /t REG_SZ /d "$SPOOL" /f >/dev/null &&
    "$BIN/kvreg" add "$REG\\Logging" /v KVLUMEN.EventListener /t REG_SZ /d "file,$LOG,5" /f >/dev/null || fail "kvreg add"
  [[ $(getent hosts "$HOSTNAME_HERE" | awk '{ print $1 }') == 127.0.1.1 ]] || fail "the host name does not resolve to 127.0.1.1"
}

# By default the host name resolves as /etc/hosts says: 127.0.1.1 only. kvlisten says that
# printers cannot reach it and how to change that; the interfaces' addresses refuse.
case_default_is_resolver() {
  start_host || return 1
  [[ $(announced_addresses) == 127.0.1.1 ]] || fail "listening at '$(announced_addresses)', not 127.0.1.1"
  grep -q '^kvlisten: warning: printers on the network cannot reach this listener.*--interfaces' "$HOST_ERR" ||
    fail "no warning about loopback-only addresses with the --interfaces hint"
  deliver_to 127.0.1.1 default-loopback
  refused_at "${V4[0]}"
  [[ ${#V6[@]} -eq 0 ]] || refused_at "${V6[0]}"
  stop_host
}

# --interfaces: the host name means every address of the interfaces that are up, IPv4 and IPv6,
# loopback included (a health check on the machine asks there); a printer reaches the listener
# on each; no warning, as printers on the network can reach it.
case_interfaces() {
  start_host --interfaces || return 1
  local addresses address
  addresses=$(announced_addresses)
  echo "    listening at $addresses"
  for address in "${V4[@]}" ${V6[@]+"${V6[@]}"}; do
    grep -qE "(^|, )$address(,|$)" <<<"$addresses" || fail "$address is not among the listening addresses"
  done
  grep -qE '(^|, )127\.0\.0\.1(,|$)' <<<"$addresses" || fail "loopback 127.0.0.1 is not among them: $addresses"
  grep -q 'warning: printers on the network' "$HOST_ERR" && fail "a loopback warning although interfaces listen"
  for address in "${V4[@]}" ${V6[@]+"${V6[@]}"} 127.0.0.1; do deliver_to "$address" "interfaces-$address"; done
  refused_at 127.0.1.1
  stop_host
}

# With only loopback up, the interfaces are the loopback ones (as on Windows without a network),
# and kvlisten warns that printers cannot reach it.
case_only_loopback_up() {
  ip link set "${VETH}a" down && ip link set "${VETH}b" down || { fail "cannot take the veth pair down"; return 1; }
  start_host --interfaces || return 1
  local addresses
  addresses=$(announced_addresses)
  grep -qE '(^|, )127\.0\.0\.1(,|$)' <<<"$addresses" || fail "127.0.0.1 not among '$addresses'"
  grep -q "${V4[0]}" <<<"$addresses" && fail "an address of a link that is down listens: $addresses"
  grep -q 'warning: printers on the network cannot reach this listener' "$HOST_ERR" || fail "no loopback warning"
  deliver_to 127.0.0.1 only-loopback
  stop_host
}

echo "interfaces_e2e: $BIN (namespace host $HOSTNAME_HERE, work folder $WORK)"
run_case Interfaces.PrivateNetworkReady case_setup
if [[ $E2E_FAILED -eq 0 ]]; then
  run_case Interfaces.DefaultIsTheResolver case_default_is_resolver
  run_case Interfaces.EveryUpInterfaceListens case_interfaces
  run_case Interfaces.OnlyLoopbackUpMeansLoopback case_only_loopback_up
fi
e2e_summary
