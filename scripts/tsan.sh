#!/usr/bin/env bash
# Builds the libraries' tests with ThreadSanitizer and runs them; any report fails the run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/lib/sanitized_lib_tests.sh"
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$root/scripts/tsan.supp"
run_lib_tests "$root/build-tsan" RelWithDebInfo -DTUTORLANE_TSAN=ON "$@"
