#!/usr/bin/env bash
# Sets up the machine, builds the programs and runs the main job on its
# built-in example: a publisher's folder with a control file that lists a
# plain file, an LZ-compressed file and a cabinet. kupdate first prints the
# control-file values of the files, then runs the update into a fresh
# program folder twice: the first run installs all three, the second finds
# nothing new.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTREL_TESTS=OFF >/dev/null
cmake --build build -j "$(nproc)"
kupdate=$PWD/build/bin/kupdate

demo=$(mktemp -d)
trap 'rm -rf "$demo"' EXIT
server=$demo/server
app=$demo/app
mkdir -p "$server" "$app" "$demo/pack/Core"

# The publisher's files.
printf 'Welcome to the Kestrel demo.\r\n' >"$server/readme.txt"
seq 1 5000 | sed 's/^/quote /' >"$demo/quotes.dat"
(cd "$demo" && mscompress quotes.dat)
# The compress tool stores no last character; a published file carries it.
python3 -c 'import sys; d = bytearray(open(sys.argv[1], "rb").read()); d[9] = ord("t"); open(sys.argv[2], "wb").write(d)' \
  "$demo/quotes.dat_" "$server/quotes.da_"
printf 'core library\n' >"$demo/pack/Core/core.dll"
printf 'client\n' >"$demo/pack/client.cfg"
(cd "$demo/pack" && gcab -c -z "$server/client.cab" Core/core.dll client.cfg)

readme_size=$(stat -c %s "$server/readme.txt")
cat >"$server/update.txt" <<CONTROL
[update]
descr=Kestrel demo update
localversion={APP}\\docs\\readme.txt
newsize=$readme_size
[files]
count=3
[file1]
url=$server/readme.txt
targetdir={APP}\\docs
descr=Read-me
[file2]
url=$server/quotes.da_
targetdir={APP}\\data
compressed=1
descr=Quotes
[file3]
url=$server/client.cab
targetdir={APP}\\client
compressed=1
descr=Client package
CONTROL

echo "== kupdate checksum: the values a publisher writes into a control file"
"$kupdate" checksum "$server/readme.txt" "$server/quotes.da_" "$server/client.cab" "$kupdate"

run() {
  set +e
  "$kupdate" run --yes --dir "$app" --set UpdateType=fileUpdate --set ExtractCAB=True \
    --set VersionCheck=vcAlways \
    "$server/update.txt"
  echo "exit status $?"
  set -e
}
echo
echo "== kupdate run: first run into an empty program folder"
run
echo "installed:"
(cd "$app" && find . -type f | sort)
echo
echo "== kupdate run: second run, nothing new"
run
