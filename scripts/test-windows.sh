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
wineboot -i >/dev/null 2>&1
# A new prefix links the user's folders (Documents, ...) into the real home;
# nothing a test writes may land there.
for link in "$WINEPREFIX"/drive_c/users/*/*; do
  if [ -L "$link" ]; then rm "$link" && mkdir "$link"; fi
done
# Without an X display Wine makes no top-level windows unless its graphics
# driver is the null one; the window lookup between processes needs them.
/usr/lib/wine/wine64 reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1

status=0
ctest --test-dir build-win64 --output-on-failure || status=1

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
for program in kupdate upsetup; do
  check_format "build-win32/bin/$program.exe" pei-i386 010b
  check_format "build-win64/bin/$program.exe" pei-x86-64 020b
done

echo "Windows build and tests took $((SECONDS - started)) s"
exit $status
