#!/usr/bin/env bash
# Sets everything up and makes a real recording of about ten seconds: from the
# machine's sound server when one runs, otherwise from a private PulseAudio
# with a virtual microphone that speaks a sentence while a tone plays as the
# system audio. Prints the event lines as they come, then the output's
# path, duration and per-channel level.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh build

seconds="${DEMO_SECONDS:-10}"
out_dir="$PWD/demo-output"
mkdir -p "$out_dir"
out="$out_dir/recording.m4a"

private_dir=""
cleanup() {
  [ -n "${feeder_pid:-}" ] && kill "$feeder_pid" 2>/dev/null || true
  if [ -n "$private_dir" ]; then
    pactl exit >/dev/null 2>&1 || kill "$(cat "$private_dir/pid" 2>/dev/null)" 2>/dev/null || true
    rm -rf "$private_dir"
  fi
}
trap cleanup EXIT

if ! timeout 5 pactl info >/dev/null 2>&1; then
  echo "demo: no sound server answers; starting a private PulseAudio with a virtual microphone"
  private_dir="$(mktemp -d)"
  export XDG_RUNTIME_DIR="$private_dir" HOME="$private_dir" PULSE_RUNTIME_PATH="$private_dir/pulse"
  pulseaudio -n --daemonize=no --exit-idle-time=-1 --disallow-exit=false --log-target=file:"$private_dir/log" \
    -L module-native-protocol-unix -L "module-null-sink sink_name=speakers" \
    -L "module-null-sink sink_name=mic_feed rate=44100" \
    -L "module-remap-source source_name=virtual_mic master=mic_feed.monitor channels=1 channel_map=mono master_channel_map=mono remix=no" \
    >/dev/null 2>&1 &
  echo $! > "$private_dir/pid"
  for _ in $(seq 50); do timeout 2 pactl info >/dev/null 2>&1 && break; sleep 0.1; done
  pactl set-default-source virtual_mic
  pactl set-default-sink speakers
  pactl load-module module-sine sink=speakers frequency=440 >/dev/null
  ( sleep 1
    espeak-ng -w "$private_dir/speech.wav" "This is orvane capture recording a virtual microphone on a private sound server." 2>/dev/null \
      && paplay --device=mic_feed "$private_dir/speech.wav" 2>/dev/null
    pactl load-module module-sine sink=mic_feed frequency=1000 >/dev/null ) &
  feeder_pid=$!
fi

echo "demo: recording ${seconds}s to $out"
status=0
{ sleep "$seconds"; echo stop; sleep 60; } | ./build/orvane-capture --out "$out" || status=$?
echo "demo: orvane-capture exited with status $status"

if [ -f "$out" ]; then
  echo "output:   $out"
  echo "duration: $(ffprobe -v error -show_entries format=duration -of csv=p=0 "$out") s"
  for channel in 0 1; do
    level=$(ffmpeg -nostats -hide_banner -i "$out" -af "pan=mono|c0=c$channel,volumedetect" -f null - 2>&1 | grep -o 'mean_volume: .*' || true)
    echo "channel $channel: ${level:-no level}"
  done
fi
exit "$status"
