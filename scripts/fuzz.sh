#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (build-fuzz) and runs each for the
# given seconds (default 600; "build" only builds them), starting from the
# kept regression inputs in tests/reliability/fuzz/inputs/<target>/ and a few
# seeds made here. A crash leaves its input in build-fuzz/crashes/ and fails
# the run.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}

CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DORVANE_FUZZ=ON -DORVANE_BUILD_TESTS=OFF \
  -DORVANE_BUILD_BENCH=OFF > /dev/null
cmake --build build-fuzz -j "$(nproc)" --target fuzz_control fuzz_args fuzz_track_reader
[ "$seconds" != build ] || exit 0

seeds=build-fuzz/seeds
mkdir -p "$seeds/fuzz_track_reader" build-fuzz/crashes
sox -n -r 48000 -c 1 -b 16 -e signed "$seeds/fuzz_track_reader/tone.caf" synth 0.01 sine 440
head -c 2000 "$seeds/fuzz_track_reader/tone.caf" > "$seeds/fuzz_track_reader/cut.caf"

for target in fuzz_control fuzz_args fuzz_track_reader; do
  corpus=build-fuzz/corpus/$target
  mkdir -p "$corpus" "$seeds/$target"
  inputs=tests/reliability/fuzz/inputs/$target
  [ -d "$inputs" ] || inputs=""
  echo "fuzz: $target for ${seconds}s"
  (cd build-fuzz && ASAN_OPTIONS=detect_leaks=0 "tests/reliability/fuzz/$target" -max_total_time="$seconds" \
     -artifact_prefix=crashes/ -print_final_stats=1 "corpus/$target" "seeds/$target" ${inputs:+"../$inputs"} \
     2>&1 | grep -E '^(stat::number_of_executed_units|==[0-9]+==|SUMMARY|Done)' || true)
  if compgen -G "build-fuzz/crashes/*" > /dev/null; then
    echo "fuzz: $target found a crash: $(ls build-fuzz/crashes)"
    exit 1
  fi
done
echo "fuzz: no crashes"
