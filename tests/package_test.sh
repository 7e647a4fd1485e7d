#!/bin/sh
# SPDX-License-Identifier: MIT
# Builds the Debian packages of a build, checks what each one holds and declares, unpacks them
# into a temporary root, and builds and runs the examples against that root (install_test.sh
# does the building and running).
# Usage: package_test.sh <build dir> <source dir> <C compiler> <C++ compiler>
# Exits 77 (skipped) when the Debian packaging tools are not installed.
set -eu
build=$1
source=$2
cc=$3
cxx=$4

for tool in cpack dpkg-deb dpkg-shlibdeps file; do
  command -v "$tool" > /dev/null || {
    echo "SKIP: $tool is not installed"
    exit 77
  }
done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

fail() {
  echo "FAIL: $*"
  exit 1
}

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/debs" > "$tmp/cpack.log" 2>&1 || {
  cat "$tmp/cpack.log"
  fail "cpack failed"
}

deb() {
  set -- "$tmp"/debs/"$1"_*.deb
  [ $# -eq 1 ] && [ -f "$1" ] || fail "not exactly one package ${1##*/}"
  echo "$1"
}
runtime=$(deb libtamb0)
dev=$(deb libtamb-dev)
tools=$(deb tamb-tools)
[ "$(find "$tmp/debs" -maxdepth 1 -name '*.deb' | wc -l)" -eq 3 ] || fail "more than three packages"

field() { dpkg-deb -f "$1" "$2"; }
contents() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ { print $6 }' | sed 's|^\./||' | sort; }
has() {
  contents "$1" | grep -Eq "^$2\$" || fail "${1##*/} lacks $2"
}
lacks() {
  ! contents "$1" | grep -Eq "$2" || fail "${1##*/} holds $2"
}

# What belongs where: the sonames in the library package, the link-time names and everything
# a compiler reads in the development package, programs and their pages in the tools.
version=$(field "$runtime" Version)
lib='usr/lib(/[a-z0-9_]+-linux-gnu[a-z0-9_]*)?'
for name in libtamb libtamb_playhead; do
  has "$runtime" "$lib/$name\\.so\\.0"
  has "$runtime" "$lib/$name\\.so\\.0\\.[0-9.]+"
  has "$dev" "$lib/$name\\.so"
done
lacks "$runtime" '\.so$|include/|pkgconfig|cmake/'
has "$dev" 'usr/include/tamb/tamb\.h'
has "$dev" "$lib/pkgconfig/tamb\\.pc"
has "$dev" "$lib/cmake/tamb/tambConfig\\.cmake"
lacks "$dev" '\.so\.0|usr/bin/'
lacks "$tools" 'usr/lib/|usr/include/'
programs=$(contents "$tools" | sed -n 's|^usr/bin/||p')
for program in tamb-sanity tamb-property; do
  echo "$programs" | grep -qx "$program" || fail "tamb-tools lacks usr/bin/$program"
done
for program in $programs; do
  has "$tools" "usr/share/man/man1/$program\\.1\\.gz"
done
for package in "$runtime" "$dev" "$tools"; do
  name=$(field "$package" Package)
  has "$package" "usr/share/doc/$name/copyright"
  has "$package" "usr/share/doc/$name/changelog\\.Debian\\.gz"
  [ "$(field "$package" Version)" = "$version" ] || fail "$name is not at version $version"
done

# A plain install and the three packages hold the same files: no install rule falls between
# the components, no file is in two packages (dpkg would refuse to install both). The link
# probe, a check for packagers of the DSP library, is installed but not packaged.
DESTDIR=$tmp/plain cmake --install "$build" --prefix /usr > "$tmp/install.log" || {
  cat "$tmp/install.log"
  fail "cmake --install failed"
}
DESTDIR=$tmp/probe cmake --install "$build" --prefix /usr --component linkprobe > /dev/null
(cd "$tmp/probe" && find . ! -type d | sed 's|^\./||' | sort) > "$tmp/unpackaged.list"
(cd "$tmp/plain" && find . ! -type d | sed 's|^\./||' | sort) |
  comm -23 - "$tmp/unpackaged.list" > "$tmp/plain.list"
for package in "$runtime" "$dev" "$tools"; do contents "$package"; done |
  grep -v '^usr/share/doc/' | sort > "$tmp/packaged.list"
duplicates=$(uniq -d "$tmp/packaged.list")
[ -z "$duplicates" ] || fail "in two packages: $duplicates"
cmp -s "$tmp/plain.list" "$tmp/packaged.list" || {
  diff "$tmp/plain.list" "$tmp/packaged.list" || true
  fail "the packages do not hold what cmake --install installs (<: install only, >: packages only)"
}

# Dependencies: the exact library build for the others, and what dpkg-shlibdeps found for the
# libraries themselves; the shlibs file tells other packages' builds what to depend on.
case "$(field "$dev" Depends)" in
  *"libtamb0 (= $version)"*) ;;
  *) fail "libtamb-dev does not depend on libtamb0 (= $version): $(field "$dev" Depends)" ;;
esac
case "$(field "$tools" Depends)" in
  *"libtamb0 (= $version)"*) ;;
  *) fail "tamb-tools does not depend on libtamb0 (= $version): $(field "$tools" Depends)" ;;
esac
for needed in libc6 libdb5.3; do
  field "$runtime" Depends | tr ',' '\n' | sed 's/^ *//; s/ .*//' | grep -qx "$needed" ||
    fail "libtamb0 does not depend on $needed: $(field "$runtime" Depends)"
done
dpkg-deb -e "$runtime" "$tmp/control"
for name in libtamb libtamb_playhead; do
  grep -q "^$name 0 libtamb0 " "$tmp/control/shlibs" || fail "libtamb0 has no shlibs line for $name"
done
grep -qx 'activate-noawait ldconfig' "$tmp/control/triggers" ||
  fail "libtamb0 does not trigger ldconfig"

root=$tmp/root
for package in "$runtime" "$dev" "$tools"; do dpkg-deb -x "$package" "$root"; done
gzip -t "$root"/usr/share/doc/*/changelog.Debian.gz "$root"/usr/share/man/man1/*.gz ||
  fail "a compressed file is damaged"

# The tools find the library of their own package.
for program in $programs; do
  "$root/usr/bin/$program" --help > "$tmp/help.txt" 2>&1 || {
    cat "$tmp/help.txt"
    fail "$program --help failed from the unpacked packages"
  }
done

# tamb.pc names /usr, where the package installs; for the build against the unpacked root the
# prefix is moved there.
pc=$(find "$root/usr/lib" -name tamb.pc)
grep -qx 'prefix=/usr' "$pc" || fail "tamb.pc does not name prefix /usr: $(grep '^prefix=' "$pc")"
sed -i "s|^prefix=/usr\$|prefix=$root/usr|" "$pc"
sh "$source/tests/install_test.sh" --prefix "$root/usr" "$source" "$cc" "$cxx"
