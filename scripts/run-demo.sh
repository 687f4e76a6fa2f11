#!/usr/bin/env bash
# Sets everything up and makes a real recording of ten seconds: from the
# machine's sound server when one answers, otherwise from a private PulseAudio
# whose virtual microphone speaks a sentence while a tone plays as the system
# audio. Prints the event lines as they come, then the output's path, the
# requested and recorded durations side by side, and the level of each channel.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh build

seconds="${DEMO_SECONDS:-10}"
out_dir="$PWD/demo-output"
mkdir -p "$out_dir"
out="$out_dir/recording.m4a"
work="$(mktemp -d)"
players=()
timer=""
helper=""

cleanup() {
  if [ -n "$timer" ]; then kill "$timer" 2>/dev/null || true; fi
  # Interrupted: stop the recording as a host would, and let it finish its file.
  if [ -n "$helper" ] && kill -0 "$helper" 2>/dev/null; then
    echo stop >&3 || true
    wait "$helper" || true
  fi
  for pid in "${players[@]}"; do kill "$pid" 2>/dev/null || true; done
  if [ -n "${ORVANE_PULSE_DIR:-}" ]; then bash scripts/private-pulse.sh stop >/dev/null 2>&1 || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

if timeout 5 pactl info >/dev/null 2>&1; then
  echo "demo: recording from this machine's sound server ($(pactl get-default-source 2>/dev/null || echo default source))"
else
  echo "demo: no sound server answers; starting a private PulseAudio with a virtual microphone"
  # private-pulse.sh loads every null sink with norewinds=1: a rewind of an idle
  # null sink drops about two seconds of its monitor when a stream starts.
  eval "$(bash scripts/private-pulse.sh start \
    -L "module-null-sink sink_name=voice rate=44100 channels=1 channel_map=mono" \
    -L "module-remap-source source_name=virtual_mic master=voice.monitor channels=1 channel_map=mono master_channel_map=mono remix=no")"
  pactl set-default-source virtual_mic
  pactl set-default-sink speakers
  espeak-ng -w "$work/speech.wav" \
    "This is orvane capture. It records the microphone on the left and the system audio on the right." 2>/dev/null
  sox -n -r 48000 -c 2 "$work/tone.wav" synth 60 sine 440 vol 0.2
  # Low latency, so the server hands the audio over in small pieces rather than seconds at a time.
  ( sleep 1; paplay --latency-msec=20 --device=voice "$work/speech.wav" ) & players+=($!)
  paplay --latency-msec=20 --device=speakers "$work/tone.wav" & players+=($!)
fi

# The helper reads its commands from a pipe that this script holds open; the
# ten seconds are counted from "STATUS recording", as a host would count them.
mkfifo "$work/control" "$work/events"
exec 3<>"$work/control"
echo "demo: recording ${seconds}s to $out"
./build/orvane-capture --out "$out" <&3 >"$work/events" &
helper=$!
while IFS= read -r line; do
  echo "$line"
  case "$line" in
    "STATUS recording "*) { sleep "$seconds"; echo stop >&3; } & timer=$! ;;
  esac
done <"$work/events"
status=0
wait "$helper" || status=$?
exec 3>&-
echo "demo: orvane-capture exited with status $status"

if [ -f "$out" ]; then
  recorded=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$out")
  echo "output:    $out"
  printf 'duration:  requested %.3f s, recorded %.3f s\n' "$seconds" "$recorded"
  for channel in 0 1; do
    name=$([ "$channel" = 0 ] && echo "microphone" || echo "system audio")
    level=$(ffmpeg -nostats -hide_banner -i "$out" -af "pan=mono|c0=c$channel,volumedetect" -f null - 2>&1 \
            | grep -o 'mean_volume: .*' || echo "mean_volume: unknown")
    echo "channel $channel ($name): $level"
  done
fi
exit "$status"
