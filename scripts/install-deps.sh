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
  libx11-dev libxext-dev libxdamage-dev libxfixes-dev xvfb x11-utils x11-apps xdotool
  libasound2-dev alsa-utils libasound2-plugins time
  libv4l-dev
  qt6-base-dev qt6-base-dev-tools qt6-webengine-dev libgl-dev fonts-noto-cjk imagemagick
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
# A freshly installed nginx may start a system service; the tests run their own instances only.
# Only then is it stopped: nginx instances the tests started are left alone.
if [[ " ${missing[*]} " == *" nginx "* ]]; then
  if command -v systemctl >/dev/null 2>&1; then $SUDO systemctl disable --now nginx >/dev/null 2>&1 || true; fi
  $SUDO pkill -x nginx >/dev/null 2>&1 || true
fi
