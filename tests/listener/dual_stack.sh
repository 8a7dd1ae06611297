#!/usr/bin/env bash
# dual_stack.sh -- runs the dual-stack listener test where the host name resolves to 127.0.0.1
# and ::1: in private mount and host-name namespaces with a hosts file of our own, so the
# machine's own configuration is never touched. Without the rights for that, the test runs as
# is (and skips itself when the host name has only one family).
set -u
program=$1
hosts=$(mktemp)
trap 'rm -f "$hosts"' EXIT
printf '127.0.0.1 localhost\n127.0.0.1 kvdualstack\n::1 kvdualstack\n' >"$hosts"
if unshare -m -u --propagation private true 2>/dev/null; then
  exec unshare -m -u --propagation private bash -c \
    'hostname kvdualstack && mount --bind "$1" /etc/hosts && exec "$2" --gtest_filter=ListenerTest.DualStackHostListensOnBoth' \
    _ "$hosts" "$program"
fi
exec "$program" --gtest_filter=ListenerTest.DualStackHostListensOnBoth
