#!/usr/bin/env bash
# Sets everything up, then runs the whole test suite on the normal build
# (the process tests on PulseAudio and on PipeWire) and on the
# AddressSanitizer + UndefinedBehaviorSanitizer build, the unit tests and one
# recording of the real helper on a ThreadSanitizer build, and each libFuzzer
# target for FUZZ_SECONDS (20).
set -euo pipefail
cd "$(dirname "$0")/.."
FUZZ_SECONDS=${FUZZ_SECONDS:-20}

# The unit tests first, then the process tests (a PulseAudio run beside a
# PipeWire one, the rest alone: see tests/CMakeLists.txt).
run_ctest() {
  local dir=$1; shift
  (cd "$dir" && ctest --output-on-failure --timeout 900 -j 2 -L unit "$@" &&
     ctest --output-on-failure --timeout 900 -j 2 -L process "$@")
}

bash scripts/setup.sh build
run_ctest build

bash scripts/setup.sh build-asan -DORVANE_SANITIZE=ON -DORVANE_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug
# The sanitizers look at our own code, so the runs that only repeat it are
# left to the normal pass: the PipeWire runs (the PulseAudio ones run the same
# code against another server), the installed package, the terminal host
# (a Python example), the long scripted drift and echo runs, whose code
# the unit tests run under the sanitizers, and the device links, whose
# following of a new default sink the recording runs take as well.
ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 run_ctest build-asan \
  -E '^process\.(pipewire\.|test_installed$|test_terminal_host$|test_drift_e2e$|test_voice_processing$|test_pulse_device_links$)'

cmake -S . -B build-tsan -G Ninja -DORVANE_TSAN=ON -DORVANE_BUILD_BENCH=OFF > /dev/null
cmake --build build-tsan -j "$(nproc)" --target unit_tests orvane-capture
# die_after_fork=0: the event-line writer thread lives for the whole process, so a test that forks a child to
# run under a file size limit forks a process with threads; the child only starts threads of its own.
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 die_after_fork=0" build-tsan/tests/unit_tests --gtest_brief=1
# The helper itself on a private PulseAudio through a restart, device switches and a recovery (its own options).
(cd build-tsan && ctest --output-on-failure --no-tests=error -R '^process\.test_tsan_')

bash scripts/fuzz.sh "$FUZZ_SECONDS"
