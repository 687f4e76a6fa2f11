#!/usr/bin/env bash
# Sets everything up, then runs the whole test suite on the normal build
# (the process tests on PulseAudio and on PipeWire), the unit tests, the
# reliability suite and one recording of the real helper on the
# AddressSanitizer + UndefinedBehaviorSanitizer build, the unit tests and that
# recording on a ThreadSanitizer build, and each libFuzzer target for
# FUZZ_SECONDS (10: the kept inputs are replayed, and a little more is tried).
set -euo pipefail
cd "$(dirname "$0")/.."
FUZZ_SECONDS=${FUZZ_SECONDS:-10}

# Each step's time, so a slow CI run shows where it went.
phase() { echo "== run-tests: ${SECONDS}s: $*"; }

# The unit tests, two at a time, then the process tests, three at a time
# (tests/CMakeLists.txt says which may not go side by side).
run_ctest() {
  local dir=$1; shift
  (cd "$dir" && ctest --output-on-failure --timeout 900 -j 2 -L unit &&
     ctest --output-on-failure --timeout 900 -j 3 -L process "$@")
}

# The sanitizer and fuzzing builds. They come after the normal pass rather
# than beside it: even at the idle scheduling class, a build beside the
# real-time process tests made them miss their timing now and then.
# Line tables are all a sanitizer's report needs (-g1), and ThreadSanitizer
# finds the same races at -O1: both build in about two thirds of the time.
# Each builds a batch of files at a time (CMAKE_UNITY_BUILD), which takes 40 %
# less again; the normal tree, the one the process tests and the package run,
# builds file by file.
other_builds() {
  cmake -S . -B build-asan -G Ninja -DORVANE_SANITIZE=ON -DORVANE_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_FLAGS_DEBUG=-g1 -DCMAKE_UNITY_BUILD=ON > /dev/null
  cmake --build build-asan -j "$(nproc)"
  cmake -S . -B build-tsan -G Ninja -DORVANE_TSAN=ON -DORVANE_BUILD_BENCH=OFF -DCMAKE_UNITY_BUILD=ON \
    "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG" > /dev/null
  cmake --build build-tsan -j "$(nproc)" --target unit_tests orvane-capture
  bash scripts/fuzz.sh build
}

phase setup and build
bash scripts/setup.sh build
phase normal tests
run_ctest build
phase sanitizer and fuzzing builds
other_builds
phase sanitizer runs

# A sanitizer build's unit tests in two processes side by side, each running
# half of them in one go: a process per test, as ctest runs them, spent most
# of a short test's time starting a sanitizer's runtime; and a test that
# counts its threads counts ThreadSanitizer's own once it runs. One half is
# the suites named, the other the rest, about even in time under each
# sanitizer (the encoder's and the finisher's suites alone are a third to a
# half of it): split test by test in turn, one half took nearly twice as long
# as the other.
unit_halves() {
  local binary=$1/tests/unit_tests suites=$2 first second status=0
  "$binary" --gtest_brief=1 --gtest_filter="$suites" & first=$!
  "$binary" --gtest_brief=1 --gtest_filter="-$suites" & second=$!
  wait $first || status=$?
  wait $second || status=$?
  return $status
}

# die_after_fork=0: the event-line writer thread lives for the whole process, so a test that forks a child to
# run under a file size limit forks a process with threads; the child only starts threads of its own.
asan() { ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 "$@"; }
tsan() { TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 die_after_fork=0" "$@"; }
asan unit_halves build-asan 'ParallelEncodeTest.*:FinisherTest.*:KeptDeviceTest.*:EchoCanceller.*'
tsan unit_halves build-tsan 'ParallelEncodeTest.*:FinisherTest.*:ControlParser.*'

# The sanitizers look at our own code, so under them run only what reaches code
# that the unit tests do not: the reliability suite (crashes, full disks, a
# hostile host, damaged files) and one recording of the real helper on a
# private PulseAudio through a pause, device switches, a server restart and a
# recovery. The other process runs repeat what the normal pass runs. These
# mostly wait, so the recordings, one build's after the other, go beside the
# suite.
sanitizer_ctest() { (cd "$1" && shift && ctest --output-on-failure --no-tests=error --timeout 900 "$@"); }
asan sanitizer_ctest build-asan -R '^reliability$' & reliability=$!
status=0
asan sanitizer_ctest build-asan -R '^process\.test_sanitizer_pulse$' || status=$?
tsan sanitizer_ctest build-tsan -R '^process\.test_sanitizer_pulse$' || status=$?
wait $reliability || status=$?
[ $status = 0 ]

phase fuzzing
bash scripts/fuzz.sh "$FUZZ_SECONDS"
phase done
