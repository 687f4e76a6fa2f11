#!/usr/bin/env bash
# Capture cost: what a recording in mode `both` (WAV, with its LEVEL lines)
# costs over SECONDS of capture, beside the server's own recorders taking the
# same two sources: two `parecord --latency-msec=85` on PulseAudio, two
# `pw-record` on PipeWire (SERVER=pipewire). Per side: CPU seconds, wake-ups
# a second (voluntary and involuntary context switches of all threads), the
# threads and the peak resident memory. Only the capture is counted: the
# figures are read from /proc just before the stop, so the stop's own work
# (drift, interleave) is left out. Two views of the same runs:
#   whole:  from the process's start to the end of the window below (ours:
#           its start, then SETTLE + SECONDS after "STATUS recording"), CPU in
#           the kernel's clock ticks (10 ms, cut off per process, so a 0.2 s
#           figure moves by 5 % from run to run);
#   steady: SECONDS from SETTLE s into the capture (3: the thread that started
#           the inputs has gone by then), CPU summed from each thread's
#           exact run time (/proc/PID/task/TID/schedstat). A thread that ended
#           within the window would be missed: the window is only taken when
#           the same threads began and ended it.
#
# APP=1: the system track of one named application (--system-audio-from), an
# application "meetapp" playing beside the sine that stands for the rest of
# the desktop; the peer's second recorder takes that application's stream
# alone (parecord --monitor-stream; PulseAudio only).
#   [SERVER=pipewire] [APP=1] scripts/bench-capture.sh [seconds]   default 60; REPEAT turns each (default 2)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/bench-lib.sh

SECONDS_TO_RECORD=${1:-60}
SERVER=${SERVER:-pulseaudio}
SETTLE=3
TICKS=$(getconf CLK_TCK)
helper=$(realpath "$BUILD/orvane-capture")
bench_workdir capture

if [[ $SERVER == pipewire ]]; then
  eval "$(scripts/private-pipewire.sh start \
    -L "module-null-sink media.class=Audio/Source/Virtual sink_name=mic rate=48000 channels=1 channel_map=mono")"
  trap 'kill $(jobs -p) 2>/dev/null || true; scripts/private-pipewire.sh stop >/dev/null 2>&1; rm -rf "$WORK"' EXIT
  sox -n -r 48000 -c 1 -b 16 -e signed -t raw - synth 3600 sine 440 vol 0.5 |
    pacat --raw --format=s16le --rate=48000 --channels=1 --latency-msec=20 --device=speakers &
else
  eval "$(scripts/private-pulse.sh start \
    -L "module-null-sink sink_name=mic_feed rate=48000 channels=1 channel_map=mono norewinds=1" \
    -L "module-remap-source source_name=mic master=mic_feed.monitor channels=1 channel_map=mono master_channel_map=mono remix=no" \
    -L "module-sine sink=mic_feed frequency=1000" \
    -L "module-sine sink=speakers frequency=440")"
  trap 'kill $(jobs -p) 2>/dev/null || true; scripts/private-pulse.sh stop >/dev/null 2>&1; rm -rf "$WORK"' EXIT
fi
pactl set-default-source mic
app_args=()
if [[ ${APP:-0} == 1 ]]; then
  sox -n -r 48000 -c 1 -b 16 -e signed -t raw - synth 3600 sine 660 vol 0.5 |
    pacat --raw --format=s16le --rate=48000 --channels=1 --device=speakers --client-name=meetapp &
  until app_stream=$(pactl list sink-inputs |
    awk '/^Sink Input #/ { id = substr($3, 2) } /application.name = "meetapp"/ { print id }') && [[ -n $app_stream ]]; do
    sleep 0.1
  done
  app_args=(--system-audio-from meetapp)
fi

# "cpu switches threads rss_kb" of the processes given, summed; cpu in clock ticks.
usage() {
  local cpu=0 switches=0 threads=0 rss=0 pid
  for pid in "$@"; do
    cpu=$(awk -v t="$TICKS" -v c="$cpu" '{ sub(/^.*\) /, ""); print c + ($12 + $13) / t }' "/proc/$pid/stat")
    switches=$((switches + $(cat /proc/"$pid"/task/*/status | awk '/ctxt_switches/ { s += $2 } END { print s }')))
    threads=$((threads + $(ls /proc/"$pid"/task | wc -l)))
    rss=$((rss + $(awk '/VmHWM/ { print $2 }' /proc/"$pid"/status)))
  done
  echo "$cpu $switches $threads $rss"
}

# "run_ns switches thread_ids" of the processes given, from every live thread;
# each thread's own "name run_ns switches" goes to file $1.
exact() {
  local each=$1 ns=0 switches=0 ids="" pid task t_ns t_sw
  shift
  : >"$each"
  for pid in "$@"; do
    for task in /proc/"$pid"/task/*; do
      t_ns=$(cut -d' ' -f1 "$task/schedstat")
      t_sw=$(awk '/ctxt_switches/ { s += $2 } END { print s }' "$task/status")
      echo "$(tr ' ' '_' <"$task/comm") $t_ns $t_sw" >>"$each"
      ns=$((ns + t_ns))
      switches=$((switches + t_sw))
      ids+="${task##*/},"
    done
  done
  echo "$ns $switches $ids"
}

# Waits out the window on the processes given: the steady figures go to
# $WORK/$1.steady ("cpu_s switches", or nothing when the threads changed) and
# each thread's to $WORK/$1.threads ("name run cpu_s switches", a line each), the
# whole ones to $WORK/$1.
window() {
  local side=$1 ns0 sw0 ids0 ns1 sw1 ids1
  shift
  sleep "$SETTLE"
  read -r ns0 sw0 ids0 <<<"$(exact "$WORK/before" "$@")"
  sleep "$SECONDS_TO_RECORD"
  read -r ns1 sw1 ids1 <<<"$(exact "$WORK/after" "$@")"
  usage "$@" >>"$WORK/$side"
  [[ $ids0 == "$ids1" ]] || return 0
  echo "$(awk -v n=$((ns1 - ns0)) 'BEGIN { print n / 1e9 }') $((sw1 - sw0))" >>"$WORK/$side.steady"
  paste -d' ' "$WORK/before" "$WORK/after" |
    awk -v run="$(wc -l <"$WORK/$side.steady")" '{ print $1, run, ($5 - $2) / 1e9, $6 - $3 }' >>"$WORK/$side.threads"
}

ours() {
  rm -f "$WORK/control" "$WORK/events"
  mkfifo "$WORK/control"
  "$helper" --out "$WORK/rec.wav" --wav "${app_args[@]}" <"$WORK/control" >"$WORK/events" 2>/dev/null &
  local pid=$!
  exec 3>"$WORK/control"
  until grep -q '^STATUS recording' "$WORK/events"; do sleep 0.05; done
  window ours "$pid"
  echo stop >&3
  exec 3>&-
  wait "$pid" || true
  grep -c '^LEVEL' "$WORK/events" >>"$WORK/levels"
  rm -f "$WORK"/rec.*
}

peer() {
  if [[ $SERVER == pipewire ]]; then
    pw-record --target mic --rate 48000 --channels 1 "$WORK/mic.wav" &
    local mic=$!
    pw-record -P '{ stream.capture.sink = true }' --target speakers --rate 48000 --channels 2 "$WORK/sys.wav" &
  else
    parecord --latency-msec=85 --device=mic --rate=48000 --channels=1 --file-format=wav "$WORK/mic.wav" &
    local mic=$!
    if [[ ${APP:-0} == 1 ]]; then
      parecord --latency-msec=85 --monitor-stream="$app_stream" --rate=48000 --channels=1 --file-format=wav \
        "$WORK/sys.wav" &
    else
      parecord --latency-msec=85 --device=speakers.monitor --rate=48000 --channels=2 --file-format=wav "$WORK/sys.wav" &
    fi
  fi
  local sys=$!
  window peer "$mic" "$sys"
  kill -INT "$mic" "$sys"
  wait "$mic" "$sys" 2>/dev/null || true
  rm -f "$WORK"/mic.wav "$WORK"/sys.wav
}

for _ in $(seq "$REPEAT"); do
  ours
  peer
done
best() { sort -n "$WORK/$1" | head -1; }  # the run with the least CPU
peer_name=$([[ $SERVER == pipewire ]] && echo "2x pw-record" || echo "2x parecord")
echo "$SERVER, $SECONDS_TO_RECORD s; LEVEL lines per run: $(tr '\n' ' ' <"$WORK/levels")"
echo "whole (least-CPU run of $REPEAT):"
printf "%-14s %8s %10s %8s %8s\n" "" "cpu s" "wakeups/s" "threads" "peak MB"
for side in ours peer; do
  read -r cpu switches threads rss <<<"$(best "$side")"
  printf "%-14s %8.2f %10.1f %8d %8.1f\n" "$([[ $side == ours ]] && echo orvane-capture || echo "$peer_name")" \
    "$cpu" "$(awk -v s="$switches" -v t=$((SETTLE + SECONDS_TO_RECORD)) 'BEGIN { print s / t }')" "$threads" \
    "$(awk -v k="$rss" 'BEGIN { print k / 1024 }')"
done
read -r oc os _ _ <<<"$(best ours)"
read -r pc ps _ _ <<<"$(best peer)"
awk -v oc="$oc" -v pc="$pc" -v os="$os" -v ps="$ps" 'BEGIN { printf "whole ratio: cpu %.2fx, wakeups %.2fx\n", oc / pc, os / ps }'
echo "steady (each run: cpu s, wakeups/s; the ratio of the medians):"
for side in ours peer; do
  printf "%-14s" "$([[ $side == ours ]] && echo orvane-capture || echo "$peer_name")"
  awk -v t="$SECONDS_TO_RECORD" '{ printf " %6.3f %6.1f ", $1, $2 / t }' "$WORK/$side.steady" 2>/dev/null
  echo
done
# Each thread's part of the steady window, by name (threads of one name in a
# run summed): the median over the runs of field $2 (3: cpu s, 4: switches).
thread_median() {
  awk '{ sum[$1 " " $2] += $'"$2"' } END { for (k in sum) print k, sum[k] }' "$WORK/$1.threads" | sort -k1,1 -k3,3g |
    awk '{ list[$1] = list[$1] " " $3 } END { for (n in list) { c = split(list[n], v, " ");
         print n, c % 2 ? v[(c + 1) / 2] : (v[c / 2] + v[c / 2 + 1]) / 2 } }' | sort
}
echo "steady, by thread (the medians of the runs: cpu s, wakeups/s):"
for side in ours peer; do
  [[ -s $WORK/$side.threads ]] || continue
  join <(thread_median "$side" 3) <(thread_median "$side" 4) |
    awk -v t="$SECONDS_TO_RECORD" -v side="$side" '{ printf "  %-5s %-16s %6.3f %6.1f\n", side, $1, $2, $3 / t }'
done
median() { sort -n -k"$2" "$WORK/$1.steady" 2>/dev/null | awk -v k="$2" '{ v[NR] = $k } END { print NR ? (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) : 0 }'; }
awk -v oc="$(median ours 1)" -v pc="$(median peer 1)" -v os="$(median ours 2)" -v ps="$(median peer 2)" \
  'BEGIN { if (pc > 0 && ps > 0) printf "steady ratio: cpu %.2fx, wakeups %.2fx\n", oc / pc, os / ps; else print "no steady window" }'
