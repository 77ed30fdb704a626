#!/usr/bin/env bash
# Sets up the machine, builds the programs and runs the main job on its
# built-in example: kupdate computes the control-file values (size,
# checksums, version) of a few sample files and of itself.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTREL_TESTS=OFF >/dev/null
cmake --build build -j "$(nproc)"

example=$(mktemp -d)
trap 'rm -rf "$example"' EXIT
printf 'abc' >"$example/abc.txt"
printf '123456789' >"$example/digits.txt"
: >"$example/empty.dat"
echo "kupdate checksum on the built-in example:"
build/bin/kupdate checksum "$example/abc.txt" "$example/digits.txt" "$example/empty.dat" build/bin/kupdate
