#!/usr/bin/env bash
# Builds xdg-desktop-portal-wlr from Debian's source package with the one test patch it needs on
# a machine without a GPU (tests/broadcaster/wayland/xdpw-shm-only.patch: Debian 12's 0.7.0
# refuses a screen copy that offers no DMA-BUF format, which is always so without a GPU) and
# prints the path of the built program. The build is kept in a cache folder and reused while the
# source version and the patch stay the same.
#   scripts/lib/portal_backend.sh            build when needed, print the program's path
#   PORTAL_BACKEND_CACHE=dir scripts/lib/portal_backend.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
patch_file=$root/tests/broadcaster/wayland/xdpw-shm-only.patch
cache=${PORTAL_BACKEND_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tutorlane/portal-backend}

# apt-get source needs a deb-src entry.
. "$root/scripts/lib/debian_sources.sh"
ensure_deb_src xdg-desktop-portal-wlr

version=$(newest_source_version xdg-desktop-portal-wlr)
if [ -z "$version" ]; then
  echo "no source package of xdg-desktop-portal-wlr (apt-get update?)" >&2
  exit 1
fi
stamp="$version $(sha256sum "$patch_file" | cut -d' ' -f1)"
program=$cache/build/xdg-desktop-portal-wlr
if [ -x "$program" ] && [ "$(cat "$cache/stamp" 2>/dev/null)" = "$stamp" ]; then
  echo "$program"
  exit 0
fi

rm -rf "$cache"
mkdir -p "$cache/src"
(cd "$cache/src" && apt-get source -q "xdg-desktop-portal-wlr=$version" >&2)
srcdir=$(find "$cache/src" -mindepth 1 -maxdepth 1 -type d -name 'xdg-desktop-portal-wlr-*' | head -n1)
patch -d "$srcdir" -p1 <"$patch_file" >&2
meson setup "$cache/build" "$srcdir" -Dman-pages=disabled -Dsystemd=disabled >&2
ninja -C "$cache/build" >&2
echo "$stamp" >"$cache/stamp"
echo "$program"
