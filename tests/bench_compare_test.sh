#!/bin/sh
# SPDX-License-Identifier: MIT
# scripts/bench-compare: ratios that stay within the tolerance pass, one that moves fails the
# comparison and is named, and input that is no report is refused.
set -eu
compare="$1"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

report() {  # report <file> <ratio of pair a> <ratio of pair b> [<machine reference ns>]
  cat > "$1" <<JSON
{"processor": "test", "ratios": [
  {"label": "pair a", "ratio": $2},
  {"label": "pair b", "ratio": $3}],
 "sweeps": [{"title": "sweep", "exponent": 1.0}],
 "benchmarks": {"BM_MachineReference": ${4:-1000}}}
JSON
}
fail() { echo "FAIL: $*"; exit 1; }

report "$dir/old.json" 1.00 2.00
report "$dir/near.json" 1.09 1.85
report "$dir/far.json" 1.00 2.50

out=$("$compare" "$dir/old.json" "$dir/near.json") || fail "a 9% move failed: $out"
echo "$out" | grep -q "2 of 2 ratios within" || fail "no summary: $out"

if out=$("$compare" "$dir/old.json" "$dir/far.json"); then fail "a 25% move passed: $out"; fi
echo "$out" | grep "pair b" | grep -q "MOVED" || fail "the moved pair is not named: $out"
echo "$out" | grep "pair a" | grep -q "MOVED" && fail "a steady pair is named: $out"

"$compare" "$dir/old.json" "$dir/far.json" --tolerance 30 > /dev/null ||
  fail "a 25% move failed a 30% tolerance"

report "$dir/slow.json" 1.00 2.00 1500
out=$("$compare" "$dir/old.json" "$dir/slow.json") || fail "steady ratios failed: $out"
echo "$out" | grep -q "ran at another speed" || fail "a 50% slower machine is not named: $out"
out=$("$compare" "$dir/old.json" "$dir/near.json")
echo "$out" | grep -q "ran at another speed" && fail "a steady machine is named: $out"

echo "not json" > "$dir/bad.json"
status=0
"$compare" "$dir/old.json" "$dir/bad.json" > /dev/null 2>&1 || status=$?
[ "$status" -eq 2 ] || fail "a broken report gave status $status, not 2"
status=0
"$compare" "$dir/old.json" > /dev/null 2>&1 || status=$?
[ "$status" -eq 2 ] || fail "one report gave status $status, not 2"
echo "bench-compare: ok"
