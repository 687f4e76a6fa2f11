#!/usr/bin/env bash
# Sets everything up, then runs the whole test suite twice: on the normal
# build and on the AddressSanitizer + UndefinedBehaviorSanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh build
(cd build && ctest --output-on-failure --timeout 900 -j 2)

bash scripts/setup.sh build-asan -DORVANE_SANITIZE=ON -DORVANE_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug
(cd build-asan && ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
   ctest --output-on-failure --timeout 900 -j 2)
