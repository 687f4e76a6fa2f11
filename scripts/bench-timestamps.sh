#!/usr/bin/env bash
# Microphone time-stamp accuracy on each sound server in turn, every source
# running on the host clock so that any rate the stamps show is their error:
#   PulseAudio, a 50 kHz null sink's monitor (remapped, so that it is no monitor)
#   PulseAudio, a pipe source fed by paced_pipe_writer at exactly 48 kHz
#   PipeWire (through pipewire-pulse), the same two at 48 kHz (what paces the
#   pipe there, the graph or the writer, runs on the host clock either way)
# Each row is one bench_pulse_timestamps run: the worst 120 s window of the
# published and of the raw stamps, in ppm, by fit and by first and last stamp.
#
#   scripts/bench-timestamps.sh [seconds]        default: 130 (at least 121)
# Environment: BUILD (default build); DUMP_DIR keeps each run's chunk stamps
# there, for build/bench/bench_timestamp_replay.
#
# Installs nothing: a server that is not installed is skipped with a message.
# PipeWire needs the Debian packages pipewire, pipewire-pulse and wireplumber.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=${BUILD:-build}
SECONDS_PER_RUN=${1:-130}
[[ $SECONDS_PER_RUN =~ ^[0-9]+$ && $SECONDS_PER_RUN -ge 121 ]] ||
  { echo "seconds: a whole number, at least 121 (one 120 s window)" >&2; exit 2; }
RATE=48000
BENCH=$BUILD/bench/bench_pulse_timestamps
WRITER=$BUILD/bench/paced_pipe_writer
for program in "$BENCH" "$WRITER"; do
  [[ -x $program ]] || { echo "build $program first: cmake --build $BUILD" >&2; exit 1; }
done
BENCH=$(realpath "$BENCH")
WRITER=$(realpath "$WRITER")
WORK=$(mktemp -d /tmp/orvane-bench-timestamps.XXXXXX)
if [[ -n ${DUMP_DIR:-} ]]; then mkdir -p "$DUMP_DIR"; fi

# The microphone on a null sink: a mono remap of its monitor, the default source.
null_mic() {
  NULL_MIC=(-L "module-null-sink sink_name=mic_feed rate=$1 channels=1 channel_map=mono"
            -L "module-remap-source source_name=mic master=mic_feed.monitor channels=1 channel_map=mono master_channel_map=mono remix=no")
}
# PulseAudio's null sink advances its clock by each block's duration in whole
# microseconds, dropping the rest: at 48 kHz it runs fast by up to 1 µs a block
# (5.9 ppm with 4095-frame blocks). At 50 kHz a frame is exactly 20 µs. PipeWire
# runs its graph at 48 kHz and would resample any other rate.
PULSE_NULL_RATE=50000
# The paced microphone: a pipe source, loaded once the server runs (its FIFO
# goes in the server's runtime directory).
PACED_MIC="module-pipe-source source_name=mic format=s16le rate=$RATE channels=1"

server_script=""
writer_pid=""
cleanup() {
  if [[ -n $writer_pid ]]; then kill "$writer_pid" 2>/dev/null || true; wait "$writer_pid" 2>/dev/null || true; fi
  writer_pid=""
  if [[ -n $server_script ]]; then "$server_script" stop >/dev/null 2>&1 || true; fi
  server_script=""
  # What the server's start exported must not reach the next server.
  unset PULSE_SERVER PULSE_RUNTIME_PATH XDG_RUNTIME_DIR PIPEWIRE_RUNTIME_DIR
}
trap 'cleanup; rm -rf "$WORK"' EXIT

ROWS=()
# run NAME SLUG SERVER_SCRIPT PACED(yes/no) MODULE_ARGS...
run() {
  local name="$1" slug="$2" script="$3" paced="$4"; shift 4
  echo "== $name" >&2
  local exports
  if ! exports=$("$script" start "$@"); then
    ROWS+=("$(printf '%-34s %s' "$name" "server did not start")")
    return
  fi
  eval "$exports"
  server_script="$script"
  if [[ $paced == yes ]]; then
    local fifo="$XDG_RUNTIME_DIR/orvane-paced.fifo"
    # shellcheck disable=SC2086  # a module's arguments are words
    if ! timeout 3 pactl load-module $PACED_MIC file="$fifo" >/dev/null; then
      ROWS+=("$(printf '%-34s %s' "$name" "the server could not load module-pipe-source")")
      cleanup
      return
    fi
    "$WRITER" "$fifo" "$RATE" >"$WORK/writer.log" 2>&1 &
    writer_pid=$!
  fi
  if ! timeout 3 pactl set-default-source mic; then
    ROWS+=("$(printf '%-34s %s' "$name" "the server has no source named mic")")
    cleanup
    return
  fi
  local dump=/dev/null
  [[ -n ${DUMP_DIR:-} ]] && dump="$DUMP_DIR/$slug.stamps"
  local out="$WORK/$slug.out"
  if timeout $((SECONDS_PER_RUN + 60)) "$BENCH" "$SECONDS_PER_RUN" --dump "$dump" >"$out" 2>&1; then
    cat "$out" >&2
    local published raw restarts
    published=$(awk '$1 == "published" { print $3, $5 }' "$out")
    raw=$(awk '$1 == "raw" { print $3, $5 }' "$out")
    restarts=$(sed -n 's/.*stamp-model restarts \([0-9]*\).*/\1/p' "$out")
    # shellcheck disable=SC2086  # two numbers each
    ROWS+=("$(printf '%-34s %9s %9s %9s %9s %9s' "$name" $published $raw "$restarts")")
  else
    cat "$out" >&2
    ROWS+=("$(printf '%-34s %s' "$name" "bench failed (see above)")")
  fi
  [[ -s $WORK/writer.log ]] && cat "$WORK/writer.log" >&2
  : >"$WORK/writer.log"
  cleanup
}

load_before=$(uptime)
echo "load before: $load_before" >&2
if command -v pulseaudio >/dev/null; then
  null_mic "$PULSE_NULL_RATE"
  run "PulseAudio null-sink monitor" pulse-null scripts/private-pulse.sh no "${NULL_MIC[@]}"
  run "PulseAudio paced pipe source" pulse-paced scripts/private-pulse.sh yes
else
  ROWS+=("$(printf '%-34s %s' "PulseAudio" "skipped: pulseaudio is not installed")")
fi
missing=""
for program in pipewire pipewire-pulse wireplumber; do command -v "$program" >/dev/null || missing+=" $program"; done
if [[ -z $missing ]]; then
  null_mic "$RATE"
  run "PipeWire null-sink monitor" pipewire-null scripts/private-pipewire.sh no "${NULL_MIC[@]}"
  run "PipeWire paced pipe source" pipewire-paced scripts/private-pipewire.sh yes
else
  ROWS+=("$(printf '%-34s %s' "PipeWire" "skipped: not installed:$missing (Debian: pipewire pipewire-pulse wireplumber)")")
fi
load_after=$(uptime)
echo "load after: $load_after" >&2

echo
echo "load before:$load_before"
echo "load after: $load_after"
echo "worst 120 s window of a $SECONDS_PER_RUN s recording, in ppm:  published           raw"
printf '%-34s %9s %9s %9s %9s %9s\n' "server" "fit" "first-last" "fit" "first-last" "restarts"
printf '%s\n' "${ROWS[@]}"
