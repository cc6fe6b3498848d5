# Sourced by the sanitizer scripts (the caller sets `root` and its sanitizer's *SAN_OPTIONS).
# run_lib_tests DEFAULT_BUILD_DIR BUILD_TYPE CMAKE_OPTION [ctest arguments...]: configures
# BUILD_DIR (default DEFAULT_BUILD_DIR) with the option, builds only the library test programs
# (no application, no Qt) and runs them (ctest label lib-*).
run_lib_tests() {
  local build=${BUILD_DIR:-$1} type=$2 option=$3
  shift 3
  "$root/scripts/install-deps.sh"
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="$type" "$option" -DTUTORLANE_WERROR=ON \
        -DTUTORLANE_BENCH=OFF >/dev/null
  cmake --build "$build" -j "$(nproc)" --target lib_tests
  cd "$build"
  ctest --output-on-failure --timeout 900 -j 2 -L lib "$@"
}
