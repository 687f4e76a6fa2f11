#!/usr/bin/env bash
# A stop whose two tracks both need drift correction (+50 and -50 ppm), WAV
# output, beside `sox -M` of the raw tracks, with the page cache warm; best of
# $REPEAT runs (see bench-lib.sh).
#   scripts/bench-stop.sh [minutes ...]      default: 30
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/bench-lib.sh
BENCH=$(bench_binary bench_stop)
bench_workdir bench-stop
OUTPUTS=(rec.wav rec.drift.json peer.wav)
DURATIONS=("$@")
[[ ${#DURATIONS[@]} -gt 0 ]] || DURATIONS=(30)

bench_header
for minutes in "${DURATIONS[@]}"; do
  bench_tracks "$BENCH" "$minutes"
  for ((i = 0; i < REPEAT; i++)); do
    measure stop.ours "$BENCH" stop "$WORK" $((minutes * 60))
    measure stop.peer sox -M rec.mic.caf rec.sys.caf peer.wav
  done
  # One more run for its own account of the drift step against the interleave.
  (cd "$WORK" && rm -f "${OUTPUTS[@]}" && "$BENCH" stop "$WORK" $((minutes * 60)) 2>/dev/null | sed "s/^/  /")
  bench_row "$minutes" stop stop
done
