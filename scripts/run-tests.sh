#!/usr/bin/env bash
# Sets everything up, then runs the whole test suite on the normal build
# (the process tests on PulseAudio and on PipeWire) and on the
# AddressSanitizer + UndefinedBehaviorSanitizer build, the unit tests on a
# ThreadSanitizer build, and each libFuzzer target for FUZZ_SECONDS (30).
set -euo pipefail
cd "$(dirname "$0")/.."
FUZZ_SECONDS=${FUZZ_SECONDS:-30}

bash scripts/setup.sh build
(cd build && ctest --output-on-failure --timeout 900 -j 2)

bash scripts/setup.sh build-asan -DORVANE_SANITIZE=ON -DORVANE_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug
# The PipeWire runs repeat the PulseAudio ones against another server: the
# sanitizers look at our code, which both runs share, so once is enough.
(cd build-asan && ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
   ctest --output-on-failure --timeout 900 -j 2 -E '^process\.pipewire\.')

cmake -S . -B build-tsan -G Ninja -DORVANE_TSAN=ON -DORVANE_BUILD_BENCH=OFF > /dev/null
cmake --build build-tsan -j "$(nproc)" --target unit_tests
# die_after_fork=0: the event-line writer thread lives for the whole process, so a test that forks a child to
# run under a file size limit forks a process with threads; the child only starts threads of its own.
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 die_after_fork=0" build-tsan/tests/unit_tests --gtest_brief=1

bash scripts/fuzz.sh "$FUZZ_SECONDS"
