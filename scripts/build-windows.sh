#!/usr/bin/env bash
# Cross-builds the Windows programs with mingw-w64: x86_64 into build-win64/
# and i686 into build-win32/, each with its programs in bin/.
#
#   scripts/build-windows.sh [--no-tests] [64|32]...
#
# Both architectures by default; the tests are built unless --no-tests.
# libsodium and libzstd for each architecture are built first, once
# (build-deps/).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

tests=ON
archs=()
for arg in "$@"; do
  case $arg in
    --no-tests) tests=OFF ;;
    64 | 32) archs+=("$arg") ;;
    *) echo "usage: $0 [--no-tests] [64|32]..." >&2; exit 2 ;;
  esac
done
((${#archs[@]})) || archs=(64 32)

for arch in "${archs[@]}"; do
  case $arch in
    64) triple=x86_64 ;;
    32) triple=i686 ;;
  esac
  sodium=$(scripts/build-sodium-windows.sh "$arch")
  zstd=$(scripts/build-zstd-windows.sh "$arch")
  cmake -S . -B "build-win$arch" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-mingw-$triple.cmake" -DKESTREL_TESTS="$tests" \
    -DKESTREL_SODIUM_PREFIX="$sodium" -DKESTREL_ZSTD_PREFIX="$zstd" >/dev/null
  cmake --build "build-win$arch" -j "$(nproc)"
done
