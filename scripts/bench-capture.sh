#!/usr/bin/env bash
# Capture cost: CPU seconds that a recording in mode `both` (with its LEVEL
# lines) spends over SECONDS of capture, beside two `parecord
# --latency-msec=85` recording the same two sources, on a private PulseAudio
# whose microphone and speakers play tones. Only the capture is counted: the
# CPU time is read from /proc just before the stop, so the stop's own work
# (drift, interleave) is left out.
#
#   scripts/bench-capture.sh [seconds]     default 60; REPEAT turns each (default 2)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/bench-lib.sh

SECONDS_TO_RECORD=${1:-60}
TICKS=$(getconf CLK_TCK)
helper=$(realpath "$BUILD/orvane-capture")
bench_workdir capture

eval "$(scripts/private-pulse.sh start \
  -L "module-null-sink sink_name=mic_feed rate=48000 channels=1 channel_map=mono norewinds=1" \
  -L "module-remap-source source_name=mic master=mic_feed.monitor channels=1 channel_map=mono master_channel_map=mono remix=no" \
  -L "module-sine sink=mic_feed frequency=1000" \
  -L "module-sine sink=speakers frequency=440")"
trap 'scripts/private-pulse.sh stop >/dev/null 2>&1; rm -rf "$WORK"' EXIT
pactl set-default-source mic

# CPU seconds (user + system) used so far by process $1.
cpu_seconds() {
  awk -v t="$TICKS" '{ sub(/^.*\) /, ""); print ($12 + $13) / t }' "/proc/$1/stat"
}

ours() {
  rm -f "$WORK/control" "$WORK/events"
  mkfifo "$WORK/control"
  "$helper" --out "$WORK/rec.wav" --wav <"$WORK/control" >"$WORK/events" 2>/dev/null &
  local pid=$!
  exec 3>"$WORK/control"
  until grep -q '^STATUS recording' "$WORK/events"; do sleep 0.05; done
  sleep "$SECONDS_TO_RECORD"
  cpu_seconds "$pid" >>"$WORK/cpu.ours"
  echo stop >&3
  exec 3>&-
  wait "$pid" || true
  grep -c '^LEVEL' "$WORK/events" >>"$WORK/levels"
  rm -f "$WORK"/rec.*
}

peer() {
  parecord --latency-msec=85 --device=mic --rate=48000 --channels=1 --file-format=wav "$WORK/mic.wav" &
  local mic=$!
  parecord --latency-msec=85 --device=speakers.monitor --rate=48000 --channels=2 --file-format=wav "$WORK/sys.wav" &
  local sys=$!
  sleep "$SECONDS_TO_RECORD"
  awk -v a="$(cpu_seconds $mic)" -v b="$(cpu_seconds $sys)" 'BEGIN { print a + b }' >>"$WORK/cpu.peer"
  kill -INT "$mic" "$sys"
  wait "$mic" "$sys" 2>/dev/null || true
  rm -f "$WORK"/mic.wav "$WORK"/sys.wav
}

for _ in $(seq "$REPEAT"); do
  ours
  peer
done
best_cpu() { sort -n "$WORK/$1" | head -1; }
o=$(best_cpu cpu.ours)
p=$(best_cpu cpu.peer)
echo "LEVEL lines per run: $(tr '\n' ' ' <"$WORK/levels")"
printf "%-8s %10s %14s %7s\n" "seconds" "ours cpu s" "2x parecord s" "ratio"
awk -v s="$SECONDS_TO_RECORD" -v o="$o" -v p="$p" 'BEGIN { printf "%-8s %10.2f %14.2f %6.2fx\n", s, o, p, o / p }'
