#!/usr/bin/env bash
# The drift resampler beside `sox in out speed 1.00001 rate -q 48000` on the
# same one-channel 48 kHz track; best of $REPEAT runs (see bench-lib.sh).
#   scripts/bench-resample.sh [minutes ...]   default: 10 60 240
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/bench-lib.sh
BENCH=$(bench_binary bench_resample)
bench_workdir bench-resample
OUTPUTS=(ours.caf peer.caf)
DURATIONS=("$@")
[[ ${#DURATIONS[@]} -gt 0 ]] || DURATIONS=(10 60 240)

bench_header
for minutes in "${DURATIONS[@]}"; do
  "$BENCH" make "$WORK/in.caf" $((minutes * 60))
  cat "$WORK/in.caf" >/dev/null
  for ((i = 0; i < REPEAT; i++)); do
    measure resample.ours "$BENCH" run in.caf ours.caf 1.00001
    measure resample.peer sox in.caf peer.caf speed 1.00001 rate -q 48000
  done
  rm -f "$WORK"/*.caf
  bench_row "$minutes" rs resample
done
