#!/usr/bin/env bash
# Installs every package the build, the tests and the local broadcast need (Debian 12).
# Idempotent: when all packages are already present nothing is fetched.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  clang clang-format libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  nginx libnginx-mod-rtmp libnginx-mod-stream ffmpeg
  libssl-dev openssl
  libx264-dev libavcodec-dev libavformat-dev libavutil-dev libswscale-dev libyuv-dev
  xdg-user-dirs
  libx11-dev libxext-dev libxdamage-dev libxfixes-dev xvfb x11-utils x11-apps x11-xserver-utils xdotool
  libasound2-dev alsa-utils libasound2-plugins time
  libv4l-dev
  qt6-base-dev qt6-base-dev-tools qt6-webengine-dev libgl-dev fonts-noto-cjk imagemagick
  # The translations: lupdate and lrelease with their CMake functions; the console's table maker.
  qt6-tools-dev qt6-l10n-tools python3
  desktop-file-utils
  # Wayland screen capture: the screen-cast portal over D-Bus, frames from PipeWire.
  libsystemd-dev libpipewire-0.3-dev dbus
  # The headless Wayland desktop of the tests (sway, PipeWire, WirePlumber, the portal with the
  # wlr backend, which scripts/lib/portal_backend.sh rebuilds from Debian's source package).
  sway foot pipewire wireplumber xdg-desktop-portal xdg-desktop-portal-wlr python3-dbus python3-gi
  procps dpkg-dev meson libdrm-dev libinih-dev libgbm-dev libwayland-dev wayland-protocols
)

. "$(dirname "$0")/lib/install_missing.sh"
install_missing "${packages[@]}"
# Nothing is started or stopped here: the tests and the demo run nginx instances of their own
# on loopback ports with their own prefixes, beside whatever web server the machine runs.

# The headless Wayland desktop's portal backend, patched for machines without a GPU: built once
# from Debian's source package into a cache folder (kept while version and patch stay the same).
"$(dirname "$0")/lib/portal_backend.sh" >/dev/null
