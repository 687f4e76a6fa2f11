#!/usr/bin/env bash
# A private PulseAudio for development and tests, in its own runtime directory.
#
#   eval "$(scripts/private-pulse.sh start [-L 'module args']...)"   # exports PULSE_SERVER & co.
#   pactl info; ./build/orvane-capture ...
#   scripts/private-pulse.sh stop                                    # uses ORVANE_PULSE_DIR
#
# start prints only `export` lines on stdout; progress and errors go to stderr.
# Every wait is bounded: a server that does not answer within 15 s is killed and
# its log is shown.
set -euo pipefail

START_TIMEOUT_SECONDS=15
PACTL_TIMEOUT_SECONDS=3

die() { echo "private-pulse: $*" >&2; exit 1; }

start() {
  local modules=("module-native-protocol-unix auth-anonymous=1" "module-null-sink sink_name=speakers")
  while [ $# -gt 0 ]; do
    case "$1" in
      -L) [ $# -ge 2 ] || die "-L needs a module"; modules+=("$2"); shift 2 ;;
      *) die "unknown argument: $1" ;;
    esac
  done
  command -v pulseaudio >/dev/null || die "pulseaudio is not installed"
  # An idle null sink rewinds when a stream starts and its monitor loses about
  # two seconds: every null sink here is loaded without rewinds.
  local i
  for i in "${!modules[@]}"; do
    case "${modules[$i]}" in
      *norewinds=*) ;;
      "module-null-sink"|"module-null-sink "*) modules[$i]+=" norewinds=1" ;;
    esac
  done
  local dir runtime home
  dir=$(mktemp -d /tmp/orvane-pulse-XXXXXX)
  runtime="$dir/run"; home="$dir/home"
  mkdir -m 700 "$runtime" "$home"
  local args=(-n --daemonize=no --system=false --exit-idle-time=-1 --realtime=no
              --high-priority=no --use-pid-file=no --log-target=stderr)
  for module in "${modules[@]}"; do args+=(-L "$module"); done
  # --system=false: we may run as root, and a per-user daemon is what we want.
  env -u PULSE_SERVER -u DISPLAY -u DBUS_SESSION_BUS_ADDRESS \
      HOME="$home" XDG_RUNTIME_DIR="$runtime" PULSE_RUNTIME_PATH="$runtime/pulse" \
      XDG_CONFIG_HOME="$home/.config" \
      setsid pulseaudio "${args[@]}" </dev/null >"$dir/pulseaudio.log" 2>&1 &
  local pid=$!
  echo "$pid" >"$dir/server.pid"
  local server="unix:$runtime/pulse/native"
  local deadline=$((SECONDS + START_TIMEOUT_SECONDS))
  until [ -S "$runtime/pulse/native" ] &&
        PULSE_SERVER="$server" timeout "$PACTL_TIMEOUT_SECONDS" pactl info >/dev/null 2>&1; do
    if ! kill -0 "$pid" 2>/dev/null; then
      echo "private-pulse: pulseaudio exited during start-up; its log:" >&2
      tail -n 30 "$dir/pulseaudio.log" >&2
      rm -rf "$dir"; exit 1
    fi
    if [ "$SECONDS" -ge "$deadline" ]; then
      kill -9 "$pid" 2>/dev/null || true
      echo "private-pulse: pulseaudio not ready after ${START_TIMEOUT_SECONDS}s; its log:" >&2
      tail -n 30 "$dir/pulseaudio.log" >&2
      rm -rf "$dir"; exit 1
    fi
    sleep 0.1
  done
  # A -L module that fails to load does not stop pulseaudio: check each one is there.
  local loaded
  loaded=$(PULSE_SERVER="$server" timeout "$PACTL_TIMEOUT_SECONDS" pactl list short modules | cut -f2)
  for module in "${modules[@]}"; do
    if ! grep -qx "${module%% *}" <<<"$loaded"; then
      kill "$pid" 2>/dev/null || true
      echo "private-pulse: pulseaudio could not load '$module'; its log:" >&2
      tail -n 30 "$dir/pulseaudio.log" >&2
      rm -rf "$dir"; exit 1
    fi
  done
  echo "private-pulse: pulseaudio $pid ready in $dir" >&2
  echo "export ORVANE_PULSE_DIR='$dir'"
  echo "export XDG_RUNTIME_DIR='$runtime'"
  echo "export PULSE_RUNTIME_PATH='$runtime/pulse'"
  echo "export PULSE_SERVER='$server'"
}

stop() {
  local dir="${1:-${ORVANE_PULSE_DIR:-}}"
  [ -n "$dir" ] || die "stop: give the directory or set ORVANE_PULSE_DIR"
  [ -f "$dir/server.pid" ] || die "stop: no server.pid in $dir"
  local pid; pid=$(cat "$dir/server.pid")
  if kill "$pid" 2>/dev/null; then
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
  fi
  rm -rf "$dir"
  echo "private-pulse: stopped $pid" >&2
}

case "${1:-}" in
  start) shift; start "$@" ;;
  stop) shift; stop "$@" ;;
  *) echo "usage: $0 start [-L 'module args']... | stop [dir]" >&2; exit 2 ;;
esac
