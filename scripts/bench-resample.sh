#!/usr/bin/env bash
# The drift resampler beside sox on the same inputs: wall time and peak RSS.
# Usage: scripts/bench-resample.sh [minutes ...]   (default: 10 60 240)
set -euo pipefail
cd "$(dirname "$0")/.."
[ -x build/bench/bench_resample ] || bash scripts/setup.sh build
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
peak_kb() { /usr/bin/time -f "%M" "$@" 2>&1 >/dev/null | tail -1; }
for minutes in "${@:-10 60 240}"; do
  for m in $minutes; do
    in="$work/in-$m.caf"
    build/bench/bench_resample make "$in" $((m * 60))
    start=$(date +%s.%N)
    ours_kb=$(peak_kb build/bench/bench_resample run "$in" "$work/ours.caf" 1.00001)
    ours_s=$(echo "$(date +%s.%N) - $start" | bc)
    start=$(date +%s.%N)
    sox_kb=$(peak_kb sox "$in" "$work/sox.caf" speed 1.00001 rate -q 48000)
    sox_s=$(echo "$(date +%s.%N) - $start" | bc)
    printf '%4d min: ours %.2fs %d KB | sox %.2fs %d KB | time ratio %.2f\n' \
      "$m" "$ours_s" "$ours_kb" "$sox_s" "$sox_kb" "$(echo "$ours_s / $sox_s" | bc -l)"
    rm -f "$in" "$work/ours.caf" "$work/sox.caf"
  done
done
