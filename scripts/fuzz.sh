#!/usr/bin/env bash
# Builds every libFuzzer target with clang and runs each for FUZZ_SECONDS (default 60).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-fuzz}
seconds=${FUZZ_SECONDS:-60}

"$root/scripts/install-deps.sh"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTUTORLANE_WERROR=ON \
      -DTUTORLANE_FUZZ=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target fuzzers
status=0
for target in "$build"/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  corpus="$build/corpus/$name"
  mkdir -p "$corpus"
  seeds="$root/fuzz/corpus/$name"
  echo "== $name for ${seconds}s"
  if ! "$target" -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 "$corpus" $( [ -d "$seeds" ] && echo "$seeds" ) \
        >"$build/$name.log" 2>&1; then
    tail -n 60 "$build/$name.log"
    echo "FAILED: $name"
    status=1
  else
    grep -E "stat::number_of_executed_units|Done" "$build/$name.log" | tail -n 2 || true
  fi
done
exit $status
