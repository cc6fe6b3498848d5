#!/usr/bin/env bash
# Builds the libraries' tests with AddressSanitizer and UndefinedBehaviorSanitizer and runs them.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/lib/sanitized_lib_tests.sh"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
run_lib_tests "$root/build-asan" Debug -DTUTORLANE_SANITIZE=ON "$@"
