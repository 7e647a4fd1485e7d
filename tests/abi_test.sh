#!/bin/sh
# SPDX-License-Identifier: MIT
# The built library keeps the ABI recorded in its baseline (abi/*.abi, see cmake/Abi.cmake).
# A removed or changed function or variable, a changed type that one of them reaches (a moved
# field, a new size) or a changed symbol version fails; added functions and variables pass
# with a note, because they break no existing client.
# Usage: abi_test.sh <library> <baseline>
set -u
lib=$1
baseline=$2

if ! command -v abidiff > /dev/null; then
  echo "SKIP: abidiff not found (apt-get install abigail-tools)"
  exit 77
fi
if [ ! -f "$baseline" ]; then
  echo "no ABI baseline $baseline: write it with make abi-baseline (README.md)"
  exit 1
fi
# Without DWARF abidiff sees only symbol names and would miss every changed type.
if ! readelf -S "$lib" | grep -q '\.debug_info'; then
  echo "SKIP: $lib has no debug information; check the ABI in a RelWithDebInfo build"
  exit 77
fi

# The baseline holds only public types already. No header filter here: the baseline carries no
# source locations, and abidiff would take every one of its types for a private one and hide
# all their changes.
compare() {
  abidiff --exported-interfaces-only --no-architecture --no-corpus-path --fail-no-debug-info \
    "$@" "$baseline" "$lib"
}

# abidiff's status is a bit set: 1 error, 2 usage error, 4 ABI changed, 8 incompatible change.
report=$(compare 2>&1)
status=$?
if [ "$status" -eq 0 ]; then
  echo "$lib: ABI unchanged from $baseline"
  exit 0
fi
if [ $((status & 3)) -ne 0 ]; then
  echo "$report"
  echo "abidiff could not compare $lib with $baseline (status $status)"
  exit 1
fi
# A change that is left once additions are ignored is a change to what clients already use.
if [ $((status & 8)) -ne 0 ] || ! compare --no-added-syms > /dev/null 2>&1; then
  echo "$report"
  echo "$lib breaks the ABI recorded in $baseline (abidiff status $status)."
  echo "Restore the interface, or break it on purpose: see \"Changing the ABI on purpose\" in README.md."
  exit 1
fi
echo "$report"
echo "NOTE: $lib adds to the ABI recorded in $baseline; compatible, but record it with"
echo "      make abi-baseline and put the new names in a new version node of libtamb/libtamb.map."
exit 0
