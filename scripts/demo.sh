#!/usr/bin/env bash
# The demo: the start program brings the Kestrel client up to date from two
# loopback update servers and starts it.
#
#   scripts/demo.sh [--windows] [--fresh] [SWITCH...]
#
# Sets up the machine, builds the start program for the update servers
# http://127.0.0.1:27801/twkestrel/ (primary) and :27802 (secondary) and the
# demo client, publishes the ten client packages on both servers, starts
# them, and runs KestrelStart.exe from the program folder build-demo/demo/app.
# The control files are signed with the demo's own key pair (made once, in
# build-demo/keys/), whose public key the start program is built with: it
# checks both control files' signatures and every package's SHA-256.
#
# The first run starts from a fresh folder: a whole first start that
# downloads the ten packages into Cab/, stamps them with the server's dates,
# unpacks them into Core/, System/ and the program folder and starts the
# client. Every later run reuses the folder: nothing is new, only the two
# control files are fetched, and the client starts at once. --fresh starts
# over; the switches (/F, /PROXY) go to the start program.
#
# --windows runs the Windows build instead, under Wine: the start program and
# the client are cross-built with mingw-w64 into build-demo-win64/ and run in
# a Wine prefix of the demo's own (build-demo-win64/demo/wine), against the
# same loopback servers on this machine.
#
# The packages come at a pace that lets the progress be seen. With a display
# the start program and the client show their windows (close the client's
# window to end it); without one the start program's window writes its
# progress to the terminal and the client prints what it was given. Either
# way the demo then lists what the servers were asked for, what the client
# was given, and the packages and files in the program folder.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

fresh=0
windows=0
while [ $# -gt 0 ]; do
  case $1 in
    --fresh) fresh=1 ;;
    --windows) windows=1 ;;
    *) break ;;
  esac
  shift
done

primary_port=27801
secondary_port=27802
primary=http://127.0.0.1:$primary_port/twkestrel/
secondary=http://127.0.0.1:$secondary_port/twkestrel/

# The demo builds in its own folder, build-demo/, because its copy of the
# start program has the loopback servers built in; KESTREL_BUILD_DIR names
# another.
build=${KESTREL_BUILD_DIR:-build-demo}
scripts/setup.sh
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTREL_TESTS=OFF \
  -DKESTREL_PRIMARY_URL=$primary -DKESTREL_SECONDARY_URL=$secondary >/dev/null
# The publisher's kupdate makes the demo's key pair once; the start program
# is built with its public key and takes only control files signed with it.
cmake --build "$build" -j "$(nproc)" --target kupdate
kupdate=$(cd "$build" && pwd)/bin/kupdate
keys=$(cd "$build" && pwd)/keys
if [ ! -f "$keys/update.key" ]; then
  mkdir -p "$keys"
  "$kupdate" keygen "$keys/update.pub" "$keys/update.key"
fi
key=$(sed -n 2p "$keys/update.pub")
if [ $windows = 1 ]; then
  # kupdate reads the start program's version on this machine; the
  # programs the user runs are the Windows ones.
  build=${KESTREL_WINDOWS_BUILD_DIR:-build-demo-win64}
  sodium=$(scripts/build-sodium-windows.sh 64)
  zstd=$(scripts/build-zstd-windows.sh 64)
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTREL_TESTS=OFF \
    -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake -DKESTREL_SODIUM_PREFIX="$sodium" \
    -DKESTREL_ZSTD_PREFIX="$zstd" \
    -DKESTREL_PRIMARY_URL=$primary -DKESTREL_SECONDARY_URL=$secondary -DKESTREL_UPDATE_KEY="$key" >/dev/null
else
  cmake -S . -B "$build" -DKESTREL_UPDATE_KEY="$key" >/dev/null
fi
cmake --build "$build" -j "$(nproc)" --target KestrelStart kestrel_client
build=$(cd "$build" && pwd)
bin=$build/bin

demo=$build/demo
app=$demo/app
mkdir -p "$demo"
run=()
path_separators=';:'
if [ $windows = 1 ]; then
  export WINEPREFIX=$demo/wine WINEDEBUG=-all
  if [ ! -d "$WINEPREFIX" ]; then
    echo "== Making the demo's Wine prefix $WINEPREFIX"
    scripts/wine-prefix.sh "$WINEPREFIX" x11,null
  fi
  run=(/usr/lib/wine/wine64)
  # A Windows path holds a drive's colon: only ";" parts the search path.
  path_separators=';'
fi

pace=(--pace 3)
echo "== Publishing the client packages on both servers, signed with $keys/update.key"
# The start program offered is the one just built: a copy of the same
# version finds nothing new for itself.
/usr/bin/python3 demo/publish.py "$demo/www-primary" "$primary" "$demo/www-secondary" "$secondary" \
  --client "$bin/Kestrel.exe" --start-program "$bin/KestrelStart.exe" \
  --kupdate "$kupdate" --sign "$keys/update.key" "${pace[@]}"
echo "$demo/www-primary/twkestrel/Kestrel.txt:"
sed -n '/^\[file1\]/,/^\[file2\]/p' "$demo/www-primary/twkestrel/Kestrel.txt" | sed '$d;s/^/    /'
echo "    ... and nine more packages"
echo "    signature: $("$kupdate" verify "$demo/www-primary/twkestrel/Kestrel.txt" "$keys/update.pub")"

pids=()
stop() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap stop EXIT

# Each server prints its port once it accepts connections.
serve() {
  local side=$1 port=$2
  : >"$demo/$side.log"
  /usr/bin/python3 tests/servers/http_server.py "$demo/www-$side" "$demo/$side.log" \
    --port "$port" >"$demo/$side.port" 2>/dev/null &
  pids+=($!)
  for _ in $(seq 300); do
    [ "$(head -n1 "$demo/$side.port")" = "$port" ] && return 0
    kill -0 "$!" 2>/dev/null || break
    sleep 0.1
  done
  echo "demo: the $side update server did not start on port $port (is the port in use?)" >&2
  exit 1
}
serve primary $primary_port
serve secondary $secondary_port
echo "== Update servers: $primary and $secondary"

if [ ! -x "$app/KestrelStart.exe" ] || [ $fresh = 1 ]; then
  rm -rf "$app"
  mkdir -p "$app"
  cp "$bin/KestrelStart.exe" "$app/"
  echo "== First start, from a fresh program folder $app"
else
  cmp -s "$bin/KestrelStart.exe" "$app/KestrelStart.exe" || cp "$bin/KestrelStart.exe" "$app/"
  echo "== Start again from $app (scripts/demo.sh --fresh starts over)"
fi

record=$demo/clients.txt
: >"$record"
started=$(date +%s.%N)
set +e
if [ -n "${DISPLAY:-}" ]; then
  # The client lives on in its window after the demo; it must not hold the
  # demo's output open, so what the programs print goes to a file.
  (cd "$app" && KESTREL_CLIENT_RECORD=$record "${run[@]}" ./KestrelStart.exe "$@" >"$demo/output.txt" 2>&1)
else
  (cd "$app" && KESTREL_CLIENT_RECORD=$record "${run[@]}" ./KestrelStart.exe "$@")
fi
status=$?
set -e
if [ -s "$demo/output.txt" ] && [ -n "${DISPLAY:-}" ]; then sed 's/^/    /' "$demo/output.txt"; fi
ended=$(date +%s.%N)
sleep 0.2
echo "== KestrelStart.exe ended with status $status after $(awk -v a="$started" -v b="$ended" 'BEGIN { printf "%.2f", b - a }') s"

echo "== What the update servers were asked for:"
for side in primary secondary; do
  awk -F'\t' -v side="$side" '{ printf "    %-9s %s %s\n", side, $1, $2 }' "$demo/$side.log"
done

for _ in $(seq 50); do
  [ -s "$record" ] && break
  sleep 0.1
done
if [ -s "$record" ]; then
  echo "== The client was started:"
  tr '\t' '\n' <"$record" | grep -E '^(params|cwd|exe)=' | sed 's/^/    /'
  tr '\t' '\n' <"$record" | sed -n 's/^path=//p' | tr "$path_separators" '\n\n' | head -6 | sed 's/^/    path: /'
  echo "    path: ..."

  if [ -n "${DISPLAY:-}" ]; then echo "    (its window stays open until you close it)"; fi
else
  echo "== The client was not started."
fi

echo "== Packages in $app/Cab, stamped with the servers' dates:"
(cd "$app" && ls -l --time-style='+%d/%m/%Y %H:%M' Cab 2>/dev/null | awk 'NR > 1 { print "    " $6 " " $7 "  " $8 }')
echo "== Unpacked:"
(cd "$app" && find Core System -type f 2>/dev/null | sort | sed 's/^/    /')
(cd "$app" && find . -maxdepth 1 -type f ! -name '*.dat' | sort | sed 's|^\./|    |')
