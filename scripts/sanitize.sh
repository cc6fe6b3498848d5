#!/usr/bin/env bash
# Builds the libraries' tests with AddressSanitizer and UndefinedBehaviorSanitizer and runs them.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-asan}

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTUTORLANE_SANITIZE=ON -DTUTORLANE_WERROR=ON \
      -DTUTORLANE_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"
cd "$build"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --output-on-failure --timeout 900 -j 2 -L lib "$@"
