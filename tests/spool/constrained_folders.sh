#!/usr/bin/env bash
# constrained_folders.sh -- runs the spool tests that need folders the system refuses to write: a
# full file system and a read-only one, each a small tmpfs in a mount namespace of this run's own
# (so nothing outlives it). Where the machine does not permit that, says so and skips.
#
#   constrained_folders.sh SPOOL_TESTS_PROGRAM
set -uo pipefail
PROGRAM=${1:?usage: constrained_folders.sh SPOOL_TESTS_PROGRAM}
FILTER='SpoolFolderTest.AFullDisk*:SpoolFolderTest.AnUnwritable*'

if [[ ${KV_IN_MOUNT_NAMESPACE:-} != 1 ]]; then
  if [[ $(id -u) -ne 0 ]] || ! unshare -m --propagation private true 2>/dev/null; then
    echo "constrained_folders: SKIPPED -- needs root and mount namespaces to make a full and a read-only file system"
    exec "$PROGRAM" --gtest_filter="$FILTER"
  fi
  KV_IN_MOUNT_NAMESPACE=1 exec unshare -m --propagation private bash "$0" "$@"
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/kv-spool-constrained.XXXXXX") || exit 2
trap 'umount "$WORK/full" "$WORK/readonly" 2>/dev/null; rm -rf "$WORK"' EXIT
mkdir -p "$WORK/full" "$WORK/readonly"
mount -t tmpfs -o size=512k,mode=0755 kv-spool-full "$WORK/full" || { echo "constrained_folders: cannot mount a tmpfs"; exit 1; }
mount -t tmpfs -o ro,size=64k,mode=0755 kv-spool-readonly "$WORK/readonly" || { echo "constrained_folders: cannot mount a read-only tmpfs"; exit 1; }
# Fill the small one, then give back 16 KiB: room for a small message, not for a large one.
dd if=/dev/zero of="$WORK/full/filler" bs=4k 2>/dev/null
size=$(stat -c %s "$WORK/full/filler")
truncate -s $((size - 16384)) "$WORK/full/filler" || exit 1
KV_TEST_FULL_FOLDER=$WORK/full KV_TEST_READONLY_FOLDER=$WORK/readonly "$PROGRAM" --gtest_filter="$FILTER"
