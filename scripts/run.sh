#!/usr/bin/env bash
# A live broadcast to the built-in local RTMP server:
#   installs what is missing, builds, starts nginx with its RTMP module on 127.0.0.1:10086
#   (application "encoder/qkz", recording everything) and broadcasts to it.
#   With a display: opens the teacher's window (installed into run/window) on a quick
#   classroom of the local server; press "开始直播" there.
#   Without one: broadcasts the screen of a virtual display (Xvfb with a clock and a moving
#   pointer) with the console program, printing its progress once a second.
#   Without a sound card the microphone is a test tone paced in real time.
#
#   scripts/run.sh              until Ctrl-C (or until the window is closed)
#   scripts/run.sh 30           the console broadcast for 30 seconds
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
run=${RUN_DIR:-$root/run}
seconds=${1:-}
port=10086

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target broadcast_console broadcaster alsa_tone_module >/dev/null

. "$root/scripts/lib/local_session.sh"

server="$run/server"
start_local_server "$server" "$port"
echo "recordings go to $server/record"
use_test_tone_without_sound_card "$build"
[ -n "$tone" ] && echo "no sound card found: the microphone is a test tone"

if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1 && [ -z "$seconds" ]; then
  # The teacher's window, from a program folder laid out by cmake --install.
  folder="$run/window"
  cmake --install "$build" --prefix "$folder" >/dev/null
  echo "opening the teacher's window: press 开始直播 to broadcast to the local server"
  "$folder/bin/broadcaster"
  exit 0
fi

if [ -z "${DISPLAY:-}" ]; then
  start_virtual_display 1280x720x24
  something_moving
  echo "no display found: broadcasting the virtual display $DISPLAY"
fi
# The settings: a copy of the shipped config.ini, kept between runs.
[ -f "$run/config.ini" ] || cp "$root/broadcaster/app/config.ini" "$run/config.ini"
args=(--config "$run/config.ini")
[ -n "$tone" ] && args+=(--audio-device "$tone")
[ -n "$seconds" ] && args+=(--seconds "$seconds")
"$build/broadcaster/broadcast_console" "${args[@]}"
echo "recordings: $(ls -1 "$server/record" 2>/dev/null | tr '\n' ' ')"
