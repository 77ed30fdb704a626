#!/bin/sh
# Runs a Windows test program on a virtual display of its own through Wine's
# X11 driver: the test prefixes use the null driver, whose windows no screen
# shows, and a desktop started with a driver of its own keeps it for every
# program on it. Wine's desktop does not pass the exit code on, so the
# caller judges the test's own report.
#   on_display.sh <wine> <program.exe> [arguments]
set -eu
wine=$1
shift
fifo=$(mktemp -u "${TMPDIR:-/tmp}/kestrel-display-XXXXXX")
mkfifo "$fifo"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$fifo" >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null || true; rm -f "$fifo"' EXIT
read -r display <"$fifo"
DISPLAY=:$display "$wine" explorer "/desktop=KestrelTest$display,1024x768,x11" "$@"
