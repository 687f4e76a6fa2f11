#!/usr/bin/env bash
# The stop's AAC interleave (the parallel encode, one segment per core)
# beside ffmpeg's amerge + aac on the same two synthetic tracks, with the page
# cache warm; best of $REPEAT runs (see bench-lib.sh). Then each output's
# error against the tracks, so that a speed-up bought with a cheaper encode
# would show.
#   scripts/bench-aac.sh [minutes ...]      default: 30 120
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/bench-lib.sh
BENCH=$(bench_binary bench_finalize)
CHECK=$(bench_binary bench_aac_error)
bench_workdir bench-aac
DURATIONS=("$@")
[[ ${#DURATIONS[@]} -gt 0 ]] || DURATIONS=(30 120)

echo "$(nproc) cores; load before: $(cut -d' ' -f1-3 /proc/loadavg)"
bench_header
for minutes in "${DURATIONS[@]}"; do
  bench_tracks "$BENCH" "$minutes"
  for ((i = 0; i < REPEAT; i++)); do
    OUTPUTS=(rec.m4a)
    measure aac.ours "$BENCH" interleave "$WORK" m4a
    OUTPUTS=(peer.m4a)
    measure aac.peer ffmpeg -nostdin -v error -y -i rec.mic.caf -i rec.sys.caf -filter_complex amerge=inputs=2 \
      -c:a aac peer.m4a
  done
  bench_row "$minutes" aac aac
  # The outputs of the last runs; ffmpeg's amerge ends with the shorter track.
  "$CHECK" "$WORK" "$WORK/rec.m4a" "$WORK/peer.m4a" | sed -e "s|$WORK/||" -e "s/^/  /"
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
