#!/usr/bin/env bash
# Cross-builds the Windows programs and tests for both architectures, runs
# the 64-bit tests under Wine in a fresh prefix (so no earlier run's
# registry or files reach them), and checks that each build made programs
# of its own architecture.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS

# The 32-bit programs are only checked, not run (this kind of machine runs
# no 32-bit code), so their tests are not built.
scripts/build-windows.sh 64
scripts/build-windows.sh --no-tests 32

WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/kestrel-wine-XXXXXX")
export WINEPREFIX WINEDEBUG=-all
trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "$WINEPREFIX"' EXIT
# Without an X display Wine makes no top-level windows unless its graphics
# driver is the null one; the window lookup between processes needs them.
scripts/wine-prefix.sh "$WINEPREFIX" null

status=0
ctest --test-dir build-win64 --output-on-failure || status=1

# The start program end to end: the Linux harness runs the Windows copies
# under Wine against its loopback servers, headless and on virtual displays
# (Wine's X11 driver where a program has a display, else the null one).
e2e_started=$SECONDS
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTREL_BENCH=ON >/dev/null
cmake --build build-release -j "$(nproc)" --target e2e_tests kupdate
# A server that is killed does not save the registry: the setting is made
# with none running and kept by the one that ends on its own.
wineserver -k >/dev/null 2>&1 || true
wineserver -w
/usr/lib/wine/wine64 reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d x11,null /f >/dev/null 2>&1
wineserver -w
KESTREL_E2E_WINE=/usr/lib/wine/wine64 KESTREL_E2E_WINDOWS_DIR=$PWD/build-win64 \
  build-release/bin/e2e_tests --gtest_filter='E2e/*:E2eStart.*' --gtest_color=no || status=1
echo "The start program end to end under Wine took $((SECONDS - e2e_started)) s"

# objdump names the format of each program and its optional header's magic
# (010b for 32-bit programs, 020b for 64-bit ones).
check_format() {
  local program=$1 format=$2 magic=$3 header
  header=$(x86_64-w64-mingw32-objdump -p "$program")
  if grep -q "file format $format\$" <<<"$header" && grep -Eq "^Magic[[:space:]]+$magic[[:space:]]" <<<"$header"; then
    echo "$program: $format"
  else
    echo "$program: not $format (magic $magic)" >&2
    status=1
  fi
}
for program in kupdate upsetup KestrelStart Kestrel; do
  check_format "build-win32/bin/$program.exe" pei-i386 010b
  check_format "build-win64/bin/$program.exe" pei-x86-64 020b
done

echo "Windows build and tests took $((SECONDS - started)) s"
exit $status
