#!/usr/bin/env bash
# A private PipeWire with its PulseAudio-protocol server, in its own runtime
# directory, for measuring the engine on PipeWire:
#
#   eval "$(scripts/private-pipewire.sh start [-L 'module args']...)"  # exports PULSE_SERVER & co.
#   pactl info; ./build/bench/bench_pulse_timestamps ...
#   scripts/private-pipewire.sh stop                                   # uses ORVANE_PIPEWIRE_DIR
#
# Runs pipewire, wireplumber (which links streams to devices) and
# pipewire-pulse, plus a session bus of its own for them. A null sink named
# `speakers` is always loaded; each -L module is loaded through pactl, as a
# PulseAudio client would. Nothing is installed: this needs the Debian packages
# pipewire, pipewire-pulse and wireplumber (installed by scripts/setup.sh).
#
# start prints only `export` lines on stdout; progress and errors go to stderr.
# Every wait is bounded: a server that does not answer within 15 s is stopped
# and the logs are shown.
set -euo pipefail

START_TIMEOUT_SECONDS=15
PACTL_TIMEOUT_SECONDS=3
STOP_WAIT_TENTHS=50

die() { echo "private-pipewire: $*" >&2; exit 1; }

# Sends TERM to each pid in the file, newest first, then KILL to what is left.
stop_pids() {
  local file="$1" pid
  [ -f "$file" ] || return 0
  for pid in $(tac "$file"); do
    kill "$pid" 2>/dev/null || continue
    for _ in $(seq "$STOP_WAIT_TENTHS"); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
  done
}

fail_start() {
  local dir="$1"; shift
  echo "private-pipewire: $*; the logs:" >&2
  for log in "$dir"/*.log; do
    echo "--- $(basename "$log")" >&2
    tail -n 15 "$log" >&2
  done
  stop_pids "$dir/pids"
  rm -rf "$dir"
  exit 1
}

# Waits until the command succeeds; fails the start when a server died or time is up.
wait_for() {
  local dir="$1" what="$2"; shift 2
  local deadline=$((SECONDS + START_TIMEOUT_SECONDS)) pid
  until "$@" >/dev/null 2>&1; do
    while read -r pid; do
      kill -0 "$pid" 2>/dev/null || fail_start "$dir" "a server exited while waiting for $what"
    done <"$dir/pids"
    [ "$SECONDS" -lt "$deadline" ] || fail_start "$dir" "no $what after ${START_TIMEOUT_SECONDS}s"
    sleep 0.1
  done
}

start() {
  local modules=("module-null-sink sink_name=speakers")
  while [ $# -gt 0 ]; do
    case "$1" in
      -L) [ $# -ge 2 ] || die "-L needs a module"; modules+=("$2"); shift 2 ;;
      *) die "unknown argument: $1" ;;
    esac
  done
  local program
  for program in pipewire pipewire-pulse wireplumber dbus-daemon pactl; do
    command -v "$program" >/dev/null || die "$program is not installed"
  done
  local dir runtime home
  dir=$(mktemp -d /tmp/orvane-pipewire-XXXXXX)
  runtime="$dir/run"; home="$dir/home"
  mkdir -m 700 "$runtime" "$home"
  : >"$dir/pids"
  local server="unix:$runtime/pulse/native"
  # Everything private: no user's bus, config, state or sound server leaks in.
  local environment=(-u PULSE_SERVER -u PULSE_RUNTIME_PATH -u DISPLAY -u PIPEWIRE_REMOTE
                     HOME="$home" XDG_RUNTIME_DIR="$runtime" PIPEWIRE_RUNTIME_DIR="$runtime"
                     XDG_CONFIG_HOME="$home/.config" XDG_STATE_HOME="$home/.local/state"
                     DBUS_SESSION_BUS_ADDRESS="unix:path=$runtime/bus")
  local name
  for name in dbus-daemon pipewire wireplumber pipewire-pulse; do
    local command=("$name")
    [ "$name" = dbus-daemon ] && command=(dbus-daemon --session --address="unix:path=$runtime/bus" --nofork --nopidfile)
    # From the private directory: pipewire-pulse makes relative module paths (a pipe's FIFO) there.
    (cd "$dir" && exec env "${environment[@]}" setsid "${command[@]}" </dev/null >"$dir/$name.log" 2>&1) &
    echo $! >>"$dir/pids"
    case "$name" in
      dbus-daemon) wait_for "$dir" "session bus" test -S "$runtime/bus" ;;
      pipewire) wait_for "$dir" "pipewire socket" test -S "$runtime/pipewire-0" ;;
    esac
  done
  local pactl=(env PULSE_SERVER="$server" timeout "$PACTL_TIMEOUT_SECONDS" pactl)
  wait_for "$dir" "answer from pipewire-pulse" "${pactl[@]}" info
  # Streams are linked by the session manager: without it a recording gets no audio.
  wait_for "$dir" "wireplumber client" \
    bash -c "$(printf '%q ' "${pactl[@]}") list clients | grep -q 'application.name = \"WirePlumber\"'"
  local module
  for module in "${modules[@]}"; do
    # The module lines are shared with private-pulse.sh, which loads every null
    # sink without rewinds; PipeWire's graph never rewinds and keeps the flag
    # as a node property, so the lines mean the same on both servers.
    case "$module" in
      *norewinds=*) ;;
      "module-null-sink"|"module-null-sink "*) module+=" norewinds=1" ;;
    esac
    # shellcheck disable=SC2086  # a module's arguments are words
    "${pactl[@]}" load-module $module >/dev/null 2>>"$dir/pactl.log" ||
      fail_start "$dir" "pipewire-pulse could not load '$module'"
  done
  echo "private-pipewire: pipewire $(sed -n 2p "$dir/pids") ready in $dir" >&2
  echo "export ORVANE_PIPEWIRE_DIR='$dir'"
  echo "export XDG_RUNTIME_DIR='$runtime'"
  echo "export PIPEWIRE_RUNTIME_DIR='$runtime'"
  echo "export PULSE_RUNTIME_PATH='$runtime/pulse'"
  echo "export PULSE_SERVER='$server'"
}

stop() {
  local dir="${1:-${ORVANE_PIPEWIRE_DIR:-}}"
  [ -n "$dir" ] || die "stop: give the directory or set ORVANE_PIPEWIRE_DIR"
  [ -f "$dir/pids" ] || die "stop: no pids in $dir"
  stop_pids "$dir/pids"
  rm -rf "$dir"
  echo "private-pipewire: stopped" >&2
}

case "${1:-}" in
  start) shift; start "$@" ;;
  stop) shift; stop "$@" ;;
  *) echo "usage: $0 start [-L 'module args']... | stop [dir]" >&2; exit 2 ;;
esac
