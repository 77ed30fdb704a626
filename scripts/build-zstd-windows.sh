#!/usr/bin/env bash
# Builds a static libzstd for mingw-w64 from Debian's source package (so
# Windows makes and applies patches with the same library, and the same
# security fixes, as the Debian build) and installs it into
# build-deps/libzstd-winARCH.
#
#   scripts/build-zstd-windows.sh 64|32
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
prefix=$deps/libzstd-win$1

# The stamp is written last, so an interrupted build is started again.
if [ -f "$prefix/.built" ]; then
  echo "$prefix"
  exit 0
fi

# The source, unpacked with Debian's patches applied.
src=$deps/libzstd-src
if [ ! -f "$src/lib/Makefile" ]; then
  rm -rf "$src" "$src.partial"
  mkdir -p "$src.partial"
  (cd "$src.partial" && apt-get source -qq libzstd >&2)
  mv "$src.partial"/libzstd-*/ "$src"
  rm -rf "$src.partial"
fi

started=$SECONDS
build=$prefix.build
log=$prefix.log
rm -rf "$prefix" "$build"
# The library's makefile builds inside its source folder, so each
# architecture builds in a copy of its own.
mkdir -p "$build"
cp -r "$src/lib" "$build/"
# The build's own output goes to the log, shown only when it fails. Only
# the current format is needed: patches are made by this project.
if ! (
  cd "$build/lib"
  # The posix-thread compilers are the ones the project is built with.
  nice make -j2 libzstd.a CC="$triple-gcc-posix" AR="$triple-ar" ZSTD_LEGACY_SUPPORT=0
  mkdir -p "$prefix/lib" "$prefix/include"
  cp libzstd.a "$prefix/lib/"
  cp zstd.h zstd_errors.h zdict.h "$prefix/include/"
) >"$log" 2>&1; then
  tail -n 40 "$log" >&2
  echo "build-zstd-windows: building libzstd for $triple failed; all of it is in $log" >&2
  exit 1
fi
rm -rf "$build"
touch "$prefix/.built"
echo "build-zstd-windows: libzstd for $triple built in $((SECONDS - started)) s" >&2
echo "$prefix"
