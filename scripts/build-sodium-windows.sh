#!/usr/bin/env bash
# Builds a static libsodium for mingw-w64 from Debian's source package (so
# Windows checks signatures with the same library, and the same security
# fixes, as the Debian build) and installs it into build-deps/libsodium-winARCH.
#
#   scripts/build-sodium-windows.sh 64|32
#
# The source and each installed library are kept in build-deps/: a second
# run does nothing. Prints the installed prefix.
set -euo pipefail
cd "$(dirname "$0")/.."

case ${1-} in
  64) triple=x86_64-w64-mingw32 ;;
  32) triple=i686-w64-mingw32 ;;
  *) echo "usage: $0 64|32" >&2; exit 2 ;;
esac
deps=$PWD/build-deps
prefix=$deps/libsodium-win$1

# The stamp is written last, so an interrupted build is started again.
if [ -f "$prefix/.built" ]; then
  echo "$prefix"
  exit 0
fi

# The source, unpacked with Debian's patches applied. The release tarball
# has no configure script; the package's own autogen.sh would fetch files
# from the internet, so autoreconf makes it from the installed autotools.
src=$deps/libsodium-src
if [ ! -x "$src/configure" ]; then
  rm -rf "$src" "$src.partial"
  mkdir -p "$src.partial"
  (cd "$src.partial" && apt-get source -qq libsodium >&2)
  (cd "$src.partial"/libsodium-*/ && autoreconf -if >&2)
  mv "$src.partial"/libsodium-*/ "$src"
  rm -rf "$src.partial"
fi

started=$SECONDS
build=$prefix.build
log=$prefix.log
rm -rf "$prefix" "$build"
mkdir -p "$build"
# The build's own output goes to the log, shown only when it fails.
if ! (
  cd "$build"
  # The posix-thread compilers are the ones the project is built with.
  "$src/configure" --host="$triple" CC="$triple-gcc-posix" --prefix="$prefix" \
    --disable-shared --enable-static --disable-dependency-tracking
  nice make -j2 install
) >"$log" 2>&1; then
  tail -n 40 "$log" >&2
  echo "build-sodium-windows: building libsodium for $triple failed; all of it is in $log" >&2
  exit 1
fi
rm -rf "$build"
touch "$prefix/.built"
echo "build-sodium-windows: libsodium for $triple built in $((SECONDS - started)) s" >&2
echo "$prefix"
