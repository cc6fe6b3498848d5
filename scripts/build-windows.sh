#!/usr/bin/env bash
# Cross-builds the libraries (stream.dll, ocelix.dll) and the RTMP tools for 64-bit Windows with
# mingw-w64: installs what is missing, builds the static dependencies when their sources or
# recipes changed (scripts/lib/windows_deps.sh, cached), then configures and builds build-win/.
#   scripts/build-windows.sh [cmake --build arguments...]
#   BUILD_DIR=... BUILD_TYPE=Release BUILD_JOBS=2 scripts/build-windows.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-win}

"$root/scripts/install-windows-deps.sh"
prefix=$("$root/scripts/lib/windows_deps.sh")
# A build folder whose libraries were found in another prefix (another WINDOWS_DEPS_CACHE) is
# configured afresh: CMake remembers each library it found with its path.
fresh=()
if [ -f "$build/CMakeCache.txt" ] &&
  ! grep -qxF "OPENSSL_INCLUDE_DIR:PATH=$prefix/include" "$build/CMakeCache.txt"; then
  fresh=(--fresh)
fi
cmake "${fresh[@]}" -S "$root" -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DTUTORLANE_WINDOWS_DEPS="$prefix" \
  -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" -DTUTORLANE_WERROR=ON >/dev/null
cmake --build "$build" -j "${BUILD_JOBS:-2}" "$@"
