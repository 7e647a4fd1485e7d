#!/bin/sh
# SPDX-License-Identifier: MIT
# The shared library exports exactly what the public headers declare with TAMB_API: nothing
# missing (a client would fail to link) and nothing more (internals would become ABI).
# Usage: exports_test.sh <library> <header>...
set -eu
lib=$1
shift
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# The declared name is the identifier before the first "(" or, for variables, before ";" / "[".
cat "$@" | grep 'TAMB_API' | grep -v '#define' |
  sed -E 's/\(.*//; s/[;[].*//; s/.*[^A-Za-z0-9_]([A-Za-z_][A-Za-z0-9_]*)[[:space:]]*$/\1/' |
  sort -u > "$tmp/declared"
# Each exported name carries its version node (name@@NODE); the nodes themselves appear as
# absolute symbols of that name and are not part of the API. The libraries share one version
# script, so a library may define a node that holds none of its names.
nm -D --defined-only "$lib" | awk '{print $2, $3}' > "$tmp/symbols"
readelf -V -W "$lib" | sed -n 's/.*Flags: none .*Name: //p' | sort -u > "$tmp/nodes"
awk 'FILENAME == ARGV[1] { node[$1] = 1; next } !($1 == "A" && $2 in node) { print $2 }' \
  "$tmp/nodes" "$tmp/symbols" > "$tmp/names"
sed 's/@.*//' "$tmp/names" | sort -u > "$tmp/exported"

if ! diff -u "$tmp/declared" "$tmp/exported"; then
  echo "exports of $lib differ from the declarations (- declared only, + exported only)"
  exit 1
fi
# A name without a version binds clients to no node: the version script was not applied.
if grep -v '@' "$tmp/names"; then
  echo "the names above of $lib carry no symbol version"
  exit 1
fi
echo "$(wc -l < "$tmp/exported") exported names, all declared and versioned"
