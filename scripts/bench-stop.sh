#!/usr/bin/env bash
# A stop whose two tracks both need drift correction (+50 and -50 ppm), WAV
# output, beside `sox -M` of the raw tracks: wall time and peak RSS of each
# whole process, best of $REPEAT runs, with the page cache warm.
#   scripts/bench-stop.sh [minutes ...]      default: 30
# Environment: BUILD (default build), BENCH_DIR (default /tmp), REPEAT (default 2).
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=${BUILD:-build}
REPEAT=${REPEAT:-2}
BENCH=$BUILD/bench/bench_stop
[[ -x $BENCH ]] || { echo "build $BENCH first: cmake --build $BUILD --target bench_stop" >&2; exit 1; }
BENCH=$(realpath "$BENCH")
WORK=$(mktemp -d "${BENCH_DIR:-/tmp}/orvane-bench-stop.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
DURATIONS=("$@")
[[ ${#DURATIONS[@]} -gt 0 ]] || DURATIONS=(30)

# Runs a command REPEAT times; prints "<best wall s> <largest peak RSS KB>".
measure() {
  local best="" rss=0 wall peak
  for ((i = 0; i < REPEAT; i++)); do
    rm -f "$WORK"/rec.wav "$WORK"/rec.*.corrected.caf "$WORK"/rec.drift.json "$WORK"/peer.wav
    /usr/bin/time -f "%e %M" -o "$WORK/time" "$@" >/dev/null 2>"$WORK/stderr" || { cat "$WORK/stderr" >&2; return 1; }
    read -r wall peak <"$WORK/time"
    if [[ -z $best ]] || awk -v a="$wall" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$wall; fi
    ((peak > rss)) && rss=$peak
  done
  echo "$best $rss"
}

printf "%-5s %10s %10s %7s %10s %10s\n" "min" "stop s" "sox -M s" "ratio" "stop MB" "sox MB"
for minutes in "${DURATIONS[@]}"; do
  rm -f "$WORK"/*.caf
  "$BENCH" generate "$WORK" $((minutes * 60))
  cat "$WORK"/rec.mic.caf "$WORK"/rec.sys.caf >/dev/null  # same warm cache for both
  cd "$WORK"
  read -r ours ours_rss < <(measure "$BENCH" stop "$WORK" $((minutes * 60)))
  "$BENCH" stop "$WORK" $((minutes * 60)) >&2   # the split between the drift step and the interleave
  read -r sox sox_rss < <(measure sox -M rec.mic.caf rec.sys.caf peer.wav)
  cd - >/dev/null
  awk -v m="$minutes" -v a="$ours" -v b="$sox" -v ra="$ours_rss" -v rb="$sox_rss" \
    'BEGIN { printf "%-5s %10.2f %10.2f %6.2fx %10.1f %10.1f\n", m, a, b, a / b, ra / 1024, rb / 1024 }'
done
