#!/usr/bin/env bash
# Finalization beside its peers on the same inputs: two synthetic temporary
# tracks (48 kHz mono 16-bit CAF) per duration, interleaved into WAV (against
# `sox -M`) and into AAC (against ffmpeg's amerge + aac). Wall time and peak
# RSS of each whole process, best of $REPEAT runs, with the page cache warm.
#   scripts/bench-finalize.sh [minutes ...]      default: 10 30 120
# Environment: BUILD (default build), BENCH_DIR (default /tmp), REPEAT (default 2).
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=${BUILD:-build}
REPEAT=${REPEAT:-2}
BENCH=$BUILD/bench/bench_finalize
[[ -x $BENCH ]] || { echo "build $BENCH first: cmake --build $BUILD --target bench_finalize" >&2; exit 1; }
BENCH=$(realpath "$BENCH")
WORK=$(mktemp -d "${BENCH_DIR:-/tmp}/orvane-bench-finalize.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
DURATIONS=("$@")
[[ ${#DURATIONS[@]} -gt 0 ]] || DURATIONS=(10 30 120)

# Runs a command REPEAT times; prints "<best wall s> <largest peak RSS KB>".
measure() {
  local best="" rss=0 wall peak
  for ((i = 0; i < REPEAT; i++)); do
    rm -f "$WORK"/rec.wav "$WORK"/rec.m4a "$WORK"/peer.*
    /usr/bin/time -f "%e %M" -o "$WORK/time" "$@" >/dev/null 2>"$WORK/stderr" || { cat "$WORK/stderr" >&2; return 1; }
    read -r wall peak <"$WORK/time"
    if [[ -z $best ]] || awk -v a="$wall" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$wall; fi
    ((peak > rss)) && rss=$peak
  done
  echo "$best $rss"
}

printf "%-5s %-4s %10s %10s %7s %10s %10s\n" "min" "out" "ours s" "peer s" "ratio" "ours MB" "peer MB"
for minutes in "${DURATIONS[@]}"; do
  rm -f "$WORK"/*.caf
  "$BENCH" generate "$WORK" $((minutes * 60))
  cat "$WORK"/rec.mic.caf "$WORK"/rec.sys.caf >/dev/null  # same warm cache for everyone
  cd "$WORK"
  read -r ours_wav ours_wav_rss < <(measure "$BENCH" interleave "$WORK" wav)
  read -r sox_wav sox_wav_rss < <(measure sox -M rec.mic.caf rec.sys.caf peer.wav)
  read -r ours_aac ours_aac_rss < <(measure "$BENCH" interleave "$WORK" m4a)
  read -r ff_aac ff_aac_rss < <(measure ffmpeg -nostdin -v error -y -i rec.mic.caf -i rec.sys.caf \
    -filter_complex amerge=inputs=2 -c:a aac peer.m4a)
  cd - >/dev/null
  row() {
    awk -v m="$1" -v o="$2" -v a="$3" -v b="$4" -v ra="$5" -v rb="$6" \
      'BEGIN { printf "%-5s %-4s %10.2f %10.2f %6.2fx %10.1f %10.1f\n", m, o, a, b, a / b, ra / 1024, rb / 1024 }'
  }
  row "$minutes" wav "$ours_wav" "$sox_wav" "$ours_wav_rss" "$sox_wav_rss"
  row "$minutes" aac "$ours_aac" "$ff_aac" "$ours_aac_rss" "$ff_aac_rss"
done
