#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (build-fuzz) and runs them side by side
# for the given seconds (default 600; "build" only builds them), starting from the
# kept regression inputs in tests/reliability/fuzz/inputs/<target>/ and a few
# seeds made here. A crash leaves its input in build-fuzz/crashes/ and fails
# the run.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}

# Line tables are enough for a crash's stack; a batch of files at a time, as the
# sanitizer trees build.
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DORVANE_FUZZ=ON -DORVANE_BUILD_TESTS=OFF \
  -DORVANE_BUILD_BENCH=OFF -DCMAKE_UNITY_BUILD=ON "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -gline-tables-only -DNDEBUG" \
  > /dev/null
cmake --build build-fuzz -j "$(nproc)" --target fuzz_control fuzz_args fuzz_track_reader
[ "$seconds" != build ] || exit 0

seeds=build-fuzz/seeds
mkdir -p "$seeds/fuzz_track_reader" build-fuzz/crashes
sox -n -r 48000 -c 1 -b 16 -e signed "$seeds/fuzz_track_reader/tone.caf" synth 0.01 sine 440
head -c 2000 "$seeds/fuzz_track_reader/tone.caf" > "$seeds/fuzz_track_reader/cut.caf"

# The targets side by side, each into its own log.
fuzz() {
  local target=$1 corpus=build-fuzz/corpus/$1 inputs=tests/reliability/fuzz/inputs/$1
  mkdir -p "$corpus" "$seeds/$target"
  [ -d "$inputs" ] || inputs=""
  (cd build-fuzz && ASAN_OPTIONS=detect_leaks=0 "tests/reliability/fuzz/$target" -max_total_time="$seconds" \
     -artifact_prefix=crashes/ -print_final_stats=1 "corpus/$target" "seeds/$target" ${inputs:+"../$inputs"} \
     > "$target.log" 2>&1 || true)
}
targets="fuzz_control fuzz_args fuzz_track_reader"
for target in $targets; do
  echo "fuzz: $target for ${seconds}s"
  fuzz "$target" &
done
wait
for target in $targets; do
  grep -E '^(stat::number_of_executed_units|==[0-9]+==|SUMMARY|Done)' "build-fuzz/$target.log" | sed "s/^/$target: /" || true
done
if compgen -G "build-fuzz/crashes/*" > /dev/null; then
  echo "fuzz: a crash: $(ls build-fuzz/crashes)"
  exit 1
fi
echo "fuzz: no crashes"
