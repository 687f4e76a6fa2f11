#!/usr/bin/env bash
# Finalization beside its peers on the same inputs: two synthetic temporary
# tracks (48 kHz mono 16-bit CAF) per duration, interleaved into WAV (against
# `sox -M`) and into AAC (against ffmpeg's amerge + aac). Wall time and peak
# RSS of each whole process, best of $REPEAT runs, with the page cache warm;
# CPU time (user + system) too, which a busy machine disturbs less than wall time.
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

# Runs a command once; appends "<wall s> <cpu s> <peak RSS KB>" to the file $1.
measure() {
  local log=$1 wall peak user sys
  shift
  rm -f "$WORK"/rec.wav "$WORK"/rec.m4a "$WORK"/peer.*
  /usr/bin/time -f "%e %M %U %S" -o "$WORK/time" "$@" >/dev/null 2>"$WORK/stderr" || { cat "$WORK/stderr" >&2; return 1; }
  read -r wall peak user sys <"$WORK/time"
  awk -v w="$wall" -v u="$user" -v s="$sys" -v p="$peak" 'BEGIN { print w, u + s, p }' >>"$log"
}

# Best wall, best CPU and largest RSS of the runs logged in $1.
best() {
  sort -n "$1" | awk 'NR == 1 { w = $1 } { if (c == "" || $2 < c) c = $2; if ($3 > r) r = $3 }
                      END { print w, c, r }'
}

printf "%-5s %-4s %9s %9s %7s %9s %9s %7s %8s %8s\n" "min" "out" "ours s" "peer s" "wall" "ours cpu" \
  "peer cpu" "cpu" "ours MB" "peer MB"
row() {
  read -r ow oc orss < <(best "$WORK/$3.ours")
  read -r pw pc prss < <(best "$WORK/$3.peer")
  awk -v m="$1" -v o="$2" -v ow="$ow" -v pw="$pw" -v oc="$oc" -v pc="$pc" -v ra="$orss" -v rb="$prss" \
    'BEGIN { printf "%-5s %-4s %9.2f %9.2f %6.2fx %9.2f %9.2f %6.2fx %8.1f %8.1f\n",
             m, o, ow, pw, ow / pw, oc, pc, oc / pc, ra / 1024, rb / 1024 }'
}
for minutes in "${DURATIONS[@]}"; do
  rm -f "$WORK"/*.caf "$WORK"/*.ours "$WORK"/*.peer
  "$BENCH" generate "$WORK" $((minutes * 60))
  cat "$WORK"/rec.mic.caf "$WORK"/rec.sys.caf >/dev/null  # same warm cache for everyone
  cd "$WORK"
  # Ours and the peer take turns, so a busy spell on the machine hits both alike.
  for ((i = 0; i < REPEAT; i++)); do
    measure wav.ours "$BENCH" interleave "$WORK" wav
    measure wav.peer sox -M rec.mic.caf rec.sys.caf peer.wav
  done
  for ((i = 0; i < REPEAT; i++)); do
    measure aac.ours "$BENCH" interleave "$WORK" m4a
    measure aac.peer ffmpeg -nostdin -v error -y -i rec.mic.caf -i rec.sys.caf -filter_complex amerge=inputs=2 \
      -c:a aac peer.m4a
  done
  cd - >/dev/null
  row "$minutes" wav wav
  row "$minutes" aac aac
done
