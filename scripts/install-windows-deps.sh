#!/usr/bin/env bash
# Installs every package the Windows build and its tests need (Debian 12): the mingw-w64 cross
# compilers with the posix thread model, the tools the dependencies' builds use, GoogleTest's
# sources (built for Windows inside the build), Wine to run what was built, and the Wine tests'
# peers (nginx with its RTMP and stream modules, ffmpeg and ffprobe, the openssl command; for the
# console broadcaster's run Xvfb, and the ALSA headers and g++ to build the test-tone ALSA module
# for the Linux side). Idempotent: when all packages are already present nothing is fetched.
set -euo pipefail

packages=(
  cmake ninja-build pkg-config make perl dpkg-dev python3
  gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  mingw-w64-tools nasm googletest
  wine wine64
  nginx libnginx-mod-rtmp libnginx-mod-stream ffmpeg openssl
  xvfb g++ libasound2-dev
)

. "$(dirname "$0")/lib/install_missing.sh"
install_missing "${packages[@]}"
# Nothing is started here: the smoke test runs nginx instances of its own on loopback ports.
