#!/usr/bin/env bash
# Installs every package the build, the tests and the local broadcast need (Debian 12).
# Idempotent: when all packages are already present nothing is fetched.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  clang clang-format libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  nginx libnginx-mod-rtmp ffmpeg
  libx264-dev libavcodec-dev libavutil-dev libswscale-dev
  libx11-dev libxext-dev xvfb x11-utils x11-apps xdotool
  libasound2-dev alsa-utils libasound2-plugins
  libv4l-dev
  qt6-base-dev qt6-base-dev-tools qt6-webengine-dev libgl-dev fonts-noto-cjk imagemagick
  desktop-file-utils
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
# Nothing is started or stopped here: the tests and the demo run nginx instances of their own
# on loopback ports with their own prefixes, beside whatever web server the machine runs.
