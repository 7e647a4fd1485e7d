#!/bin/sh
# SPDX-License-Identifier: MIT
# abi_test.sh notices what it is there for. It runs against copies of the baseline altered the
# way a change to the library would alter it: a moved field must fail, a function missing
# from the library must fail, a function only the library has must pass with a note.
# Usage: abi_guard_test.sh <abi_test.sh> <library> <baseline>
set -u
guard=$1
lib=$2
baseline=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failed=0

if ! command -v abidiff > /dev/null; then
  echo "SKIP: abidiff not found (apt-get install abigail-tools)"
  exit 77
fi

# expect <status> <note|quiet> <what> <altered baseline>
expect() {
  sh "$guard" "$lib" "$4" > "$tmp/out" 2>&1
  status=$?
  note=quiet
  grep -q '^NOTE:' "$tmp/out" && note=note
  if [ "$status" -ne "$1" ] || [ "$note" != "$2" ]; then
    cat "$tmp/out"
    echo "FAIL: $3: abi_test.sh returned $status ($note), expected $1 ($2)"
    failed=1
  else
    echo "ok: $3 (status $status, $note)"
  fi
}

# Move the latency range's second field by 32 bits (both libraries reach the type).
sed "/<class-decl name='tamb_latency_range_t'/,/<\/class-decl>/ \
     s/layout-offset-in-bits='32'/layout-offset-in-bits='64'/" "$baseline" > "$tmp/moved.abi"
if cmp -s "$baseline" "$tmp/moved.abi"; then
  echo "FAIL: the baseline has no tamb_latency_range_t to alter"
  exit 1
fi
expect 1 quiet "a moved field" "$tmp/moved.abi"

fn=$(sed -n "s/.*<elf-symbol name='\([^']*\)'.*type='func-type'.*/\1/p" "$baseline" | head -n 1)
sed "/<elf-symbol name='$fn'/d; /<function-decl name='$fn'/,/<\/function-decl>/d" \
  "$baseline" > "$tmp/added.abi"
expect 0 note "$fn added" "$tmp/added.abi"

sed "s/name='$fn'/name='${fn}_gone'/; s/elf-symbol-id='$fn@/elf-symbol-id='${fn}_gone@/" \
  "$baseline" > "$tmp/removed.abi"
expect 1 quiet "${fn}_gone removed (and $fn added)" "$tmp/removed.abi"

exit "$failed"
