#!/bin/sh
# SPDX-License-Identifier: MIT
# The libraries make every atomic access with the processor's own instructions: none of them
# imports an __atomic_* function or needs libatomic. libatomic serves an access that the
# compiler could not prove aligned by taking a lock of its own, which blocks the process thread
# and, being private to each process, excludes nobody in the processes that share the records.
# Usage: atomics_test.sh <library>...
set -eu
status=0
for lib in "$@"; do
  calls=$(nm -D -u "$lib" | awk '{ sub(/@.*/, "", $NF); print $NF }' | grep '^__atomic_' |
    sort -u || true)
  if [ -n "$calls" ]; then
    echo "$lib imports atomic functions:"
    echo "$calls" | sed 's/^/  /'
    status=1
  fi
  if readelf -d "$lib" | grep 'NEEDED' | grep -q 'libatomic'; then
    echo "$lib needs libatomic"
    status=1
  fi
done
[ "$status" -eq 0 ] && echo "no atomic function imported, no libatomic needed"
exit "$status"
