# Shared by the bench-*.sh scripts (sourced): a scratch directory, timed runs
# of whole processes and a table of ours against a peer tool. Ours and the peer
# take turns, so a busy spell on the machine hits both alike; CPU time (user +
# system) is shown beside wall time because a busy machine disturbs it less.
# Environment: BUILD (default build), BENCH_DIR (default /tmp), REPEAT (default 2).
BUILD=${BUILD:-build}
REPEAT=${REPEAT:-2}

# Prints the absolute path of bench executable $1, or stops with how to build it.
bench_binary() {
  local path=$BUILD/bench/$1
  [[ -x $path ]] || { echo "build $path first: cmake --build $BUILD --target $1" >&2; exit 1; }
  realpath "$path"
}

# Sets WORK to a fresh scratch directory, removed on exit.
bench_workdir() {
  WORK=$(mktemp -d "${BENCH_DIR:-/tmp}/orvane-$1.XXXXXX")
  trap 'rm -rf "$WORK"' EXIT
}

# Writes the two synthetic temporary tracks rec.mic.caf and rec.sys.caf of $2
# minutes with bench executable $1, and reads them once so every run finds
# them in the page cache.
bench_tracks() {
  rm -f "$WORK"/*.caf
  "$1" generate "$WORK" $(($2 * 60))
  cat "$WORK"/rec.mic.caf "$WORK"/rec.sys.caf >/dev/null
}

# Runs a command once in $WORK, after removing what an earlier run wrote (the
# names in OUTPUTS, relative to $WORK); appends "<wall s> <cpu s> <peak RSS KB>" to $WORK/$1.
OUTPUTS=()
measure() {
  local log=$1 wall peak user sys
  shift
  (cd "$WORK" && rm -f "${OUTPUTS[@]}")
  (cd "$WORK" && /usr/bin/time -f "%e %M %U %S" -o "$WORK/time" "$@" >/dev/null 2>"$WORK/stderr") ||
    { cat "$WORK/stderr" >&2; return 1; }
  read -r wall peak user sys <"$WORK/time"
  awk -v w="$wall" -v u="$user" -v s="$sys" -v p="$peak" 'BEGIN { print w, u + s, p }' >>"$WORK/$log"
}

# Best wall, best CPU and largest RSS of the runs logged in $WORK/$1.
best() {
  sort -n "$WORK/$1" | awk 'NR == 1 { w = $1 } { if (c == "" || $2 < c) c = $2; if ($3 > r) r = $3 }
                            END { print w, c, r }'
}

bench_header() {
  printf "%-5s %-4s %9s %9s %7s %9s %9s %7s %8s %8s\n" "min" "what" "ours s" "peer s" "wall" "ours cpu" \
    "peer cpu" "cpu" "ours MB" "peer MB"
}

# One table row from the logs $WORK/$3.ours and $WORK/$3.peer, then forgets them.
bench_row() {
  local ow oc orss pw pc prss
  read -r ow oc orss < <(best "$3.ours")
  read -r pw pc prss < <(best "$3.peer")
  awk -v m="$1" -v o="$2" -v ow="$ow" -v pw="$pw" -v oc="$oc" -v pc="$pc" -v ra="$orss" -v rb="$prss" \
    'BEGIN { printf "%-5s %-4s %9.2f %9.2f %6.2fx %9.2f %9.2f %6.2fx %8.1f %8.1f\n",
             m, o, ow, pw, ow / pw, oc, pc, oc / pc, ra / 1024, rb / 1024 }'
  rm -f "$WORK/$3.ours" "$WORK/$3.peer"
}
