#!/bin/sh
# SPDX-License-Identifier: MIT
# Installs a build into a temporary prefix, checks what landed there, then builds the examples
# against that copy twice, with pkg-config and with find_package, and runs them.
# Usage: install_test.sh <build dir> <source dir> <C compiler> <C++ compiler> [sanitizer flags]
#        install_test.sh --prefix <installed prefix> <source dir> <C compiler> <C++ compiler> ...
# The second form checks a copy installed by other means (an unpacked package) instead.
# Exits 77 (skipped) when the programs cannot be built or run here for want of a tool.
set -eu
build=
prefix=
if [ "$1" = --prefix ]; then
  prefix=$2
  shift
else
  build=$1
fi
source=$2
cc=$3
cxx=$4
sanitize=${5:-}

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

fail() {
  echo "FAIL: $*"
  exit 1
}

if [ -n "$build" ]; then
  prefix=$tmp/prefix
  cmake --install "$build" --prefix "$prefix" > "$tmp/install.log" || {
    cat "$tmp/install.log"
    fail "cmake --install failed"
  }
fi

# Everything a client needs, and nothing left out of the public headers.
for header in "$source"/include/tamb/*.h; do
  name=${header##*/}
  cmp -s "$header" "$prefix/include/tamb/$name" || fail "include/tamb/$name not installed as is"
done
libdir=$(cd "$prefix" && ls -d lib lib64 lib/*-linux-gnu* 2>/dev/null |
  while read -r d; do [ -e "$prefix/$d/libtamb.so" ] && echo "$prefix/$d"; done | head -n 1)
[ -n "$libdir" ] || fail "libtamb.so not installed"
for lib in libtamb libtamb_playhead; do
  for file in "$lib.so" "$lib.so.0"; do
    [ -e "$libdir/$file" ] || fail "$file not installed"
  done
done
[ -f "$libdir/pkgconfig/tamb.pc" ] || fail "pkgconfig/tamb.pc not installed"
[ -f "$libdir/cmake/tamb/tambConfig.cmake" ] || fail "cmake/tamb/tambConfig.cmake not installed"
[ -f "$libdir/cmake/tamb/tambConfigVersion.cmake" ] || fail "tambConfigVersion.cmake not installed"
echo "installed: headers, libraries, tamb.pc and the CMake package under $prefix"

# pkg-config must describe the installed copy, not the prefix the build was configured for.
command -v pkg-config > /dev/null || {
  echo "SKIP: pkg-config is not installed"
  exit 77
}
export PKG_CONFIG_PATH="$libdir/pkgconfig"
flags=$(pkg-config --cflags --libs tamb) || fail "pkg-config does not know tamb"
[ "$(pkg-config --variable=prefix tamb)" = "$prefix" ] ||
  fail "tamb.pc names prefix $(pkg-config --variable=prefix tamb), not $prefix"
case "$flags" in
  *"-I$prefix/include"*) ;;
  *) fail "pkg-config flags lack -I$prefix/include: $flags" ;;
esac

run() {
  out=$("$@" 2>&1) || {
    echo "$out"
    fail "$* failed"
  }
  echo "$out" | sed 's/^/    /'
  case "$out" in
    *"all checks passed"*) ;;
    *) fail "$* did not report its checks" ;;
  esac
}

# shellcheck disable=SC2086 # the flags are words on purpose
"$cc" -std=c11 -Wall -Wextra -Wpedantic -Werror $sanitize "$source/examples/client.c" $flags \
  -Wl,-rpath,"$libdir" -o "$tmp/client-c" || fail "client.c does not build with pkg-config"
# shellcheck disable=SC2086
"$cxx" -std=c++20 -Wall -Wextra -Wpedantic -Werror $sanitize "$source/examples/client.cpp" \
  $flags -Wl,-rpath,"$libdir" -o "$tmp/client-cpp" || fail "client.cpp does not build with pkg-config"
echo "pkg-config build:"
run "$tmp/client-c"
run "$tmp/client-cpp"

# find_package must find the package in the prefix alone, without the build tree.
cmake -S "$source/examples" -B "$tmp/examples" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_C_FLAGS="-Wall -Wextra -Wpedantic -Werror $sanitize" \
  -DCMAKE_CXX_FLAGS="-Wall -Wextra -Wpedantic -Werror $sanitize" \
  -DCMAKE_EXE_LINKER_FLAGS="$sanitize" > "$tmp/examples.log" 2>&1 || {
  cat "$tmp/examples.log"
  fail "examples/ does not configure with find_package(tamb)"
}
cmake --build "$tmp/examples" > "$tmp/examples.log" 2>&1 || {
  cat "$tmp/examples.log"
  fail "examples/ does not build with find_package(tamb)"
}
grep -qx "tamb_DIR:PATH=$libdir/cmake/tamb" "$tmp/examples/CMakeCache.txt" ||
  fail "find_package did not take tamb from $libdir/cmake/tamb"
echo "find_package build:"
run "$tmp/examples/tamb-example-c"
run "$tmp/examples/tamb-example-cpp"
