#!/usr/bin/env bash
# Cross-builds the static libraries the Windows build links (x264, libyuv, FFmpeg's libavcodec,
# libavformat and libavutil, OpenSSL 3) from Debian's own source packages with mingw-w64, into
# one prefix (include/, lib/, lib/pkgconfig/) in a cache folder, and prints the prefix's path.
# Each library is rebuilt only when its source version, its recipe below or the toolchain
# changed: a stamp per library records what its files were built from. Every run names the
# source version of each library on standard error, with a WARN line when it is not the newest
# the archive lists.
#   scripts/lib/windows_deps.sh                        build what is missing or out of date
#   WINDOWS_DEPS_CACHE=dir scripts/lib/windows_deps.sh
# The packages it needs come from scripts/install-windows-deps.sh.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/scripts/lib/debian_sources.sh"

cache=$(realpath -m "${WINDOWS_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tutorlane/windows-deps}")
prefix=$cache/prefix
stamps=$cache/stamps
logs=$cache/logs
work=$cache/work
jobs=${WINDOWS_DEPS_JOBS:-2}
triple=x86_64-w64-mingw32
toolchain=$root/cmake/mingw-w64.cmake

# Each recipe gets the unpacked source folder and a staging folder: it installs into
# DESTDIR=<stage>, configured for the final prefix, so that the .pc files name the prefix.

build_x264() {
  local src=$1 stage=$2
  cd "$src"
  # 8-bit 4:2:0 is all the encoder library feeds it.
  CC=$triple-gcc-posix ./configure --host=$triple --cross-prefix=$triple- --prefix="$prefix" \
    --enable-static --disable-cli --disable-opencl --bit-depth=8 --chroma-format=420
  make -j"$jobs"
  make install DESTDIR="$stage"
}

build_libyuv() {
  local src=$1 stage=$2
  # Only the static library: its conversion tools and the shared library are not wanted.
  cmake -S "$src" -B "$src/build-win" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DTUTORLANE_WINDOWS_DEPS="$prefix" -DCMAKE_BUILD_TYPE=Release -DTEST=OFF
  cmake --build "$src/build-win" --target yuv -j "$jobs"
  install -d "$stage$prefix/lib" "$stage$prefix/include"
  install -m 644 "$src/build-win/libyuv.a" "$stage$prefix/lib/"
  cp -r "$src/include/." "$stage$prefix/include/"
}

build_ffmpeg() {
  local src=$1 stage=$2
  cd "$src"
  # Only what the encoder library uses: the native AAC encoder, the MP4 muxer (the local copy)
  # and the file protocol; no external library, no program, no other component.
  ./configure --prefix="$prefix" --target-os=mingw32 --arch=x86_64 --enable-cross-compile \
    --cross-prefix=$triple- --cc=$triple-gcc-posix --cxx=$triple-g++-posix \
    --pkg-config=$triple-pkg-config \
    --enable-static --disable-shared --disable-programs --disable-doc --disable-debug \
    --disable-autodetect --disable-everything --disable-network \
    --disable-avdevice --disable-avfilter --disable-swscale --disable-swresample --disable-postproc \
    --enable-encoder=aac --enable-muxer=mp4 --enable-protocol=file
  make -j"$jobs"
  make install DESTDIR="$stage"
  # Headers and libraries only (not its example sources, nor the empty bin/).
  rm -rf "$stage$prefix/share"
  rmdir "$stage$prefix/bin" 2>/dev/null || true
}

build_openssl() {
  local src=$1 stage=$2
  cd "$src"
  # Static libcrypto and libssl with the providers built in; no programs, no tests.
  ./Configure mingw64 no-shared no-module no-tests --prefix="$prefix" --libdir=lib \
    --cross-compile-prefix=$triple- CC=gcc-posix CXX=g++-posix
  # The folders it reads its configuration and modules from on Windows: those of OpenSSL's own
  # Windows builds, which only administrators can write. (Configure would take the prefix's
  # Linux path, which any user could make on the current drive, and takes no drive letter.)
  make -j"$jobs" build_libs OPENSSLDIR="C:/Program Files/Common Files/SSL" \
    ENGINESDIR="C:/Program Files/OpenSSL/lib/engines-3" \
    MODULESDIR="C:/Program Files/OpenSSL/lib/ossl-modules"
  make install_dev DESTDIR="$stage"
}

# The packages whose versions, besides the compiler's own text, decide whether a library built
# earlier still serves: the compiler, the Windows headers and import libraries, the assembler.
toolchain_packages=(gcc-mingw-w64-x86-64-posix mingw-w64-x86-64-dev nasm)

# source_missing LOG: whether `apt-get source` failed only because the archive does not hand out
# the version's files (it lists a version whose files are not, or no longer, there), and for no
# other reason: a network or apt failure is no reason to build an older version.
source_missing() {
  local errors
  errors=$(grep -E '^E: ' "$1") || return 1
  ! grep -qvE '^E: (Failed to fetch .* 404 +Not Found.*|Failed to fetch some archives\.|Can not find version .*|Unable to find a source package for .*)$' <<<"$errors"
}

# report_source NAME VERSION NEWEST WHAT: says which source version the library is built from,
# with a warning when a newer one is listed.
report_source() {
  if [ "$2" = "$3" ]; then
    echo "windows deps: $1 $2 (the newest source listed): $4" >&2
  else
    echo "WARN windows deps: $1 $2: $4, although the newest source listed is $3" >&2
  fi
}

# build_dep NAME SOURCE-PACKAGE FILE [EXTRA-INPUT...]: rebuilds NAME when its stamp differs
# from the source version plus a digest of its recipe, the toolchain and the extra inputs, or
# when FILE (relative to the prefix) is missing. The newest source version is taken; only when
# the archive does not hand out its files (a security update's listing can be ahead of them) is
# the next older one taken, with a warning on every run, and the newest is asked for again after
# a day. Any other failure to fetch the source stops the build.
build_dep() {
  local name=$1 package=$2 key_file=$3
  shift 3
  local recipe version stamp missing newest=""
  recipe=$({
    declare -f "build_$name"
    $triple-gcc-posix --version | head -n1
    dpkg-query -W -f='${Package} ${Version}\n' "${toolchain_packages[@]}"
    [ $# -eq 0 ] || cat "$@"
  } | sha256sum | cut -d' ' -f1)
  for version in $(source_versions "$package"); do
    [ -n "$newest" ] || newest=$version
    stamp="$version $recipe"
    if [ -e "$prefix/$key_file" ] && [ "$(cat "$stamps/$name" 2>/dev/null)" = "$stamp" ]; then
      report_source "$name" "$version" "$newest" "up to date"
      return 0
    fi
    missing="$stamps/$name.missing-$version"
    if [ -n "$(find "$missing" -mmin -1440 2>/dev/null)" ]; then
      echo "WARN windows deps: $name $version: the archive did not hand out its source" \
        "files today (404 Not Found); trying an older version" >&2
      continue
    fi
    rm -rf "${work:?}/$name"
    mkdir -p "$work/$name/src" "$work/$name/stage" "$stamps" "$logs" "$prefix"
    if (cd "$work/$name/src" && apt-get source -q "$package=$version") >"$logs/$name.log" 2>&1; then
      rm -f "$missing"
      build_version "$name" "$version" "$stamp" || return 1
      report_source "$name" "$version" "$newest" "built"
      return
    fi
    if ! source_missing "$logs/$name.log"; then
      tail -n 20 "$logs/$name.log" >&2
      echo "windows deps: $name $version: apt-get source failed (log: $logs/$name.log)" >&2
      return 1
    fi
    touch "$missing"
    echo "WARN windows deps: $name $version: the archive lists it but does not hand out its" \
      "source files (404 Not Found); trying an older version" >&2
  done
  echo "windows deps: no source package of $package to build (apt-get update?)" >&2
  return 1
}

# build_version NAME VERSION STAMP: builds the unpacked source, then swaps the library's files
# in the prefix.
build_version() {
  local name=$1 version=$2 stamp=$3 started=$SECONDS
  echo "$name $version: building (log: $logs/$name.log)" >&2
  # In the background, so that `set -e` holds inside (it does not in a tested command).
  (
    set -e
    srcdir=$(find "$work/$name/src" -mindepth 1 -maxdepth 1 -type d | head -n1)
    [ -n "$srcdir" ]
    "build_$name" "$srcdir" "$work/$name/stage"
  ) >>"$logs/$name.log" 2>&1 &
  if ! wait $!; then
    tail -n 40 "$logs/$name.log" >&2
    echo "$name: build failed (log: $logs/$name.log)" >&2
    return 1
  fi

  # The files of the library's previous build leave the prefix before the new ones go in.
  rm -f "$stamps/$name"
  if [ -f "$stamps/$name.files" ]; then
    (cd "$prefix" && xargs -r -d '\n' rm -f <"$stamps/$name.files")
  fi
  (cd "$work/$name/stage$prefix" && find . \( -type f -o -type l \) | sort) >"$stamps/$name.files"
  cp -a "$work/$name/stage$prefix/." "$prefix/"
  echo "$stamp" >"$stamps/$name"
  rm -rf "${work:?}/$name"
  echo "$name $version: built in $((SECONDS - started)) s" >&2
}

mkdir -p "$cache"
# One build at a time per cache folder.
exec 9>"$cache/.lock"
flock 9

ensure_deb_src x264 libyuv ffmpeg openssl
build_dep x264 x264 lib/libx264.a
build_dep libyuv libyuv lib/libyuv.a "$toolchain"
build_dep ffmpeg ffmpeg lib/libavformat.a
build_dep openssl openssl lib/libssl.a
echo "$prefix"
