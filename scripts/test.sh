#!/usr/bin/env bash
# Sets up the machine, builds everything with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs every test, builds the Release
# configuration (tests and benchmarks) and runs the tests again, since the
# optimiser finds warnings and faults the Debug build does not; then builds
# the fuzz targets with clang and replays their corpora for a bounded number
# of runs; last, cross-builds the Windows programs and runs their tests under
# Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

jobs=$(nproc)
cmake -S . -B build-test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKESTREL_SANITIZE=ON >/dev/null
cmake --build build-test -j "$jobs"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build-test --output-on-failure -j "$jobs"

cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTREL_BENCH=ON >/dev/null
cmake --build build-release -j "$jobs"
ctest --test-dir build-release --output-on-failure -j "$jobs"
rm -rf build-release/stage
cmake --install build-release --prefix build-release/stage --strip >/dev/null
build-release/stage/bin/kupdate checksum build-release/stage/bin/KestrelStart.exe \
  build-release/stage/bin/upsetup.exe >/dev/null

scripts/fuzz.sh smoke

# The same sources as Windows programs: built with mingw-w64 for both
# architectures, the 64-bit tests run under Wine.
scripts/test-windows.sh
