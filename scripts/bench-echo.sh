#!/usr/bin/env bash
# Voice processing on a real echo path, against the sound server's own
# canceller on the same run:
#
#   scripts/bench-echo.sh [pulse|pipewire]      (default pulse; BUILD=build)
#
# A private server with a microphone (`mic`, remapped from the `micsink`
# null sink's monitor) and speakers; module-loopback carries the speakers'
# monitor into the microphone at -10 dB and 60 ms, and is replaced by one of
# 180 ms part-way. Far-end and near-end speech (espeak-ng, two voices) is laid
# out by bench_echo_cancel: far end alone, near end alone, both, far end alone.
# The far end plays through the server canceller's sink (module-echo-cancel
# aec_method=webrtc, its gain control off so levels can be compared) into the
# speakers; the helper records the raw microphone and the speakers' monitor
# with --voice-processing, while parecord records the server canceller's
# source. Both are scored against the raw microphone track (kept).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/bench-lib.sh
SERVER=${1:-pulse}
BENCH=$(bench_binary bench_echo_cancel)
HELPER=$(realpath "$BUILD/orvane-capture")
bench_workdir echo
MOVE_AT=36  # seconds into the material, in its last far-end-only span

espeak-ng -v en-us -s 160 -w "$WORK/far22k.wav" "Good morning everyone, thank you for joining the call today. \
I want to go over the quarterly numbers and then talk about the roadmap for the next release. Our revenue grew \
by twelve percent, which is slightly above the forecast we made in January. The support team closed more tickets \
than ever before, and the response time dropped to under four hours. Let us look at the plans for the spring, \
starting with the new storage layer and the migration of the older customers."
espeak-ng -v en+f3 -s 150 -w "$WORK/near22k.wav" "Thanks, that sounds great. I have a question about the \
migration schedule, because the older customers are still on the previous version, and some of them asked for \
more time. Could we move the deadline to the end of the summer? I also think we should write a short guide."
sox "$WORK/far22k.wav" -r 48000 -b 16 "$WORK/far48k.wav"
sox "$WORK/near22k.wav" -r 48000 -b 16 "$WORK/near48k.wav"
"$BENCH" schedule "$WORK/far48k.wav" "$WORK/near48k.wav" "$WORK"

mic_modules=(-L "module-null-sink sink_name=micsink norewinds=1"
             -L "module-remap-source source_name=mic master=micsink.monitor channels=1 channel_map=mono master_channel_map=mono remix=no")
if [[ $SERVER == pipewire ]]; then
  eval "$(scripts/private-pipewire.sh start "${mic_modules[@]}")"
  trap 'scripts/private-pipewire.sh stop >/dev/null 2>&1; [[ -n ${KEEP:-} ]] || rm -rf "$WORK"' EXIT
else
  eval "$(scripts/private-pulse.sh start "${mic_modules[@]}")"
  trap 'scripts/private-pulse.sh stop >/dev/null 2>&1; [[ -n ${KEEP:-} ]] || rm -rf "$WORK"' EXIT
fi
pactl set-default-sink speakers
pactl set-default-source mic

# Loads a loopback of $1 ms from the speakers' monitor into the microphone at -10 dB; prints its module.
loopback() {
  local module input
  module=$(pactl load-module module-loopback source=speakers.monitor sink=micsink latency_msec="$1" \
           source_dont_move=true sink_dont_move=true)
  for _ in $(seq 50); do
    input=$(pactl list sink-inputs | awk -v m="$module" '/^Sink Input #/ { i = substr($3, 2) }
                                                        /Owner Module:/ && $3 == m { print i }')
    [[ -n $input ]] && break
    sleep 0.1
  done
  pactl set-sink-input-volume "$input" -10dB
  echo "$module"
}

canceller=$(pactl load-module module-echo-cancel aec_method=webrtc source_master=mic sink_master=speakers \
            source_name=ec_source sink_name=ec_sink \
            aec_args='"analog_gain_control=0 digital_gain_control=0"' 2>/dev/null || true)
[[ -n $canceller ]] || echo "bench-echo: the server has no module-echo-cancel; measuring ours alone" >&2
pactl set-default-sink speakers
pactl set-default-source mic
first=$(loopback 60)
sleep 1

mkfifo "$WORK/control"
"$HELPER" --voice-processing --wav --keep-temps --out "$WORK/out.wav" <"$WORK/control" >"$WORK/events" \
  2>"$WORK/diagnostics" &
helper=$!
exec 3>"$WORK/control"
for _ in $(seq 100); do grep -q "^STATUS recording" "$WORK/events" && break; sleep 0.1; done
if [[ -n $canceller ]]; then
  parecord --device=ec_source --rate=48000 --channels=1 --format=float32le --latency-msec=20 \
    --file-format=wav "$WORK/server.wav" &
  recorder=$!
fi
sleep 1
farsink=speakers
[[ -n $canceller ]] && farsink=ec_sink
start=$(date +%s.%N)
paplay --device="$farsink" "$WORK/far.wav" &
far=$!
paplay --device=micsink "$WORK/near.wav" &
near=$!
sleep "$(awk -v s="$start" -v m="$MOVE_AT" -v now="$(date +%s.%N)" 'BEGIN { print s + m - now }')"
pactl unload-module "$first"
loopback 180 >/dev/null
moved=$(awk -v s="$start" -v now="$(date +%s.%N)" 'BEGIN { printf "%.2f", now - s }')
wait "$far" "$near" || true
sleep 1
[[ -n ${recorder:-} ]] && kill -INT "$recorder" && wait "$recorder" || true
echo stop >&3
wait "$helper" || true
grep -i "voice\|echo" "$WORK/diagnostics" || true
echo "server: $SERVER; loopback moved from 60 to 180 ms at ${moved} s"
sox "$WORK/out.mic.caf" "$WORK/raw.wav"
echo "ours (--voice-processing):"
"$BENCH" score "$WORK/near.wav" "$WORK/raw.wav" "$WORK/out.wav" "$moved"
if [[ -n $canceller ]]; then
  echo "the server's module-echo-cancel aec_method=webrtc:"
  "$BENCH" score "$WORK/near.wav" "$WORK/raw.wav" "$WORK/server.wav" "$moved"
fi
