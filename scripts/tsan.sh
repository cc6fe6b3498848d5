#!/usr/bin/env bash
# Builds the libraries' tests with ThreadSanitizer and runs them; any report fails the run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-tsan}

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTUTORLANE_TSAN=ON -DTUTORLANE_WERROR=ON \
      -DTUTORLANE_BENCH=OFF >/dev/null
# Only the library test programs (ctest label lib): no application, no Qt.
cmake --build "$build" -j "$(nproc)" --target lib_tests
cd "$build"
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$root/scripts/tsan.supp"
ctest --output-on-failure --timeout 900 -j 2 -L lib "$@"
