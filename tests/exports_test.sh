#!/bin/sh
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
nm -D --defined-only "$lib" | awk '{print $3}' | sed 's/@.*//' | sort -u > "$tmp/exported"

if ! diff -u "$tmp/declared" "$tmp/exported"; then
  echo "exports of $lib differ from the declarations (- declared only, + exported only)"
  exit 1
fi
echo "$(wc -l < "$tmp/exported") exported names, all declared"
