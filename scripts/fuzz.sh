#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each one.
#   scripts/fuzz.sh smoke       replays the corpus plus a short bounded run (CI)
#   scripts/fuzz.sh NAME SECS   fuzzes one target for a while; what it finds
#                               goes to build-fuzz/corpus/NAME and crashes to
#                               build-fuzz/, never into the source tree
#   scripts/fuzz.sh merge NAME  adds the inputs of build-fuzz/corpus/NAME that
#                               reach new code to the seed corpus under tests/
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTREL_FUZZ=ON \
  -DKESTREL_TESTS=OFF -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build-fuzz -j "$(nproc)"

corpus_of() { echo "tests/fuzz/corpus/${1#fuzz_}"; }

if [ "${1:-smoke}" = smoke ]; then
  for bin in build-fuzz/bin/fuzz_*; do
    name=$(basename "$bin")
    corpus=$(corpus_of "$name")
    mkdir -p "$corpus"
    work=$(mktemp -d)
    # A fixed seed and run count keep the smoke run repeatable.
    "$bin" -seed=1 -runs=20000 -max_len=65536 -artifact_prefix="$work/" "$work" "$corpus" \
      >"$work.log" 2>&1 ||
      { cat "$work.log"; exit 1; }
    echo "fuzz $name: $(grep -c . "$work.log") log lines, ok"
    rm -rf "$work" "$work.log"
  done
  echo "fuzz smoke: all targets passed"
elif [ "$1" = merge ]; then
  name=$2
  mkdir -p "$(corpus_of "$name")" "build-fuzz/corpus/$name"
  "build-fuzz/bin/$name" -merge=1 -artifact_prefix=build-fuzz/ "$(corpus_of "$name")" \
    "build-fuzz/corpus/$name"
else
  name=$1 secs=${2:-60}
  # New inputs land in the first folder; the seeds are only read.
  mkdir -p "build-fuzz/corpus/$name"
  "build-fuzz/bin/$name" -max_total_time="$secs" -artifact_prefix=build-fuzz/ \
    "build-fuzz/corpus/$name" "$(corpus_of "$name")"
fi
