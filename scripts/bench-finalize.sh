#!/usr/bin/env bash
# Finalization beside its peers on the same inputs: two synthetic temporary
# tracks (48 kHz mono 16-bit CAF) per duration, interleaved into WAV (against
# `sox -M`) and into AAC (against ffmpeg's amerge + aac), with the page cache
# warm; best of $REPEAT runs (see bench-lib.sh).
#   scripts/bench-finalize.sh [minutes ...]      default: 10 30 120
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/bench-lib.sh
BENCH=$(bench_binary bench_finalize)
bench_workdir bench-finalize
OUTPUTS=(rec.wav rec.m4a peer.wav peer.m4a)
DURATIONS=("$@")
[[ ${#DURATIONS[@]} -gt 0 ]] || DURATIONS=(10 30 120)

bench_header
for minutes in "${DURATIONS[@]}"; do
  bench_tracks "$BENCH" "$minutes"
  for ((i = 0; i < REPEAT; i++)); do
    measure wav.ours "$BENCH" interleave "$WORK" wav
    measure wav.peer sox -M rec.mic.caf rec.sys.caf peer.wav
  done
  for ((i = 0; i < REPEAT; i++)); do
    measure aac.ours "$BENCH" interleave "$WORK" m4a
    measure aac.peer ffmpeg -nostdin -v error -y -i rec.mic.caf -i rec.sys.caf -filter_complex amerge=inputs=2 \
      -c:a aac peer.m4a
  done
  bench_row "$minutes" wav wav
  bench_row "$minutes" aac aac
done
