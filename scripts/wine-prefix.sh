#!/usr/bin/env bash
# Makes a fresh Wine prefix for the Windows programs:
#
#   scripts/wine-prefix.sh PREFIX [DRIVERS]
#
# DRIVERS are Wine's graphics drivers, tried in order: "null" (the default)
# makes windows no screen shows, "x11,null" shows them on $DISPLAY when a
# program has one and falls back to null when it has none. The user's
# folders (Documents, ...) become real folders of the prefix instead of
# links into the real home, so nothing a program writes lands there. The
# start program's Chinese captions get a font: the Chinese face its forms
# name, the "MS Sans Serif" of the others and the system's message boxes and
# title bars (Tahoma) fall back to WenQuanYi Zen Hei.
set -euo pipefail
prefix=$1
drivers=${2:-null}
wine=/usr/lib/wine/wine64

export WINEPREFIX=$prefix WINEDEBUG=-all
wineboot -i >/dev/null 2>&1
for link in "$prefix"/drive_c/users/*/*; do
  if [ -L "$link" ]; then rm "$link" && mkdir "$link"; fi
done
"$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d "$drivers" /f >/dev/null 2>&1

# regedit reads a script in UTF-16 with a byte order mark.
fonts=$(mktemp "${TMPDIR:-/tmp}/kestrel-fonts-XXXXXX.reg")
trap 'rm -f "$fonts"' EXIT
{
  printf '\xff\xfe'
  iconv -f UTF-8 -t UTF-16LE <<'REG'
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink]
"MS Sans Serif"=hex(7):77,00,71,00,79,00,2d,00,7a,00,65,00,6e,00,68,00,65,00,69,00,2e,00,74,00,74,00,63,00,2c,00,57,00,65,00,6e,00,51,00,75,00,61,00,6e,00,59,00,69,00,20,00,5a,00,65,00,6e,00,20,00,48,00,65,00,69,00,00,00,00,00
"Tahoma"=hex(7):77,00,71,00,79,00,2d,00,7a,00,65,00,6e,00,68,00,65,00,69,00,2e,00,74,00,74,00,63,00,2c,00,57,00,65,00,6e,00,51,00,75,00,61,00,6e,00,59,00,69,00,20,00,5a,00,65,00,6e,00,20,00,48,00,65,00,69,00,00,00,00,00

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes]
"細明體"="WenQuanYi Zen Hei"
"MingLiU"="WenQuanYi Zen Hei"
REG
} | sed 's/\x0a\x00/\x0d\x00\x0a\x00/g' >"$fonts"
"$wine" regedit /S "$fonts" >/dev/null 2>&1
wineserver -w
