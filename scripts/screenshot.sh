#!/usr/bin/env bash
# A picture of the teacher's window during a broadcast:
#   builds and installs the broadcaster into run/window, starts the local RTMP server
#   (127.0.0.1:10086, application "encoder/qkz") and a virtual display, opens the window (a quick
#   classroom on the local server), clicks "开始直播", waits, and saves the window to
#   docs/window.png. The virtual display has a coloured desktop and a clock, which the preview
#   shows with the window itself.
#
#   scripts/screenshot.sh [output.png]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
run=${RUN_DIR:-$root/run}
out=${1:-$root/docs/window.png}
port=10086

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j 2 --target broadcaster alsa_tone_module >/dev/null
folder="$run/window"
rm -rf "$folder"
cmake --install "$build" --prefix "$folder" >/dev/null

. "$root/scripts/lib/local_session.sh"
start_local_server "$run/screenshot-server" "$port"
server="$run/screenshot-server"

# A virtual display of its own, and a private session (instance lock, desktop entry, settings,
# state): the user's own folders stay untouched.
start_virtual_display 1280x800x24
# A desktop for the preview to show: a clock beside the window and a coloured background, set
# once the clock is connected (the server resets the root window when its last client leaves).
xclock -update 1 -geometry 220x220+1010+60 >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 50); do xdotool search --name '^xclock$' >/dev/null 2>&1 && break; sleep 0.1; done
xsetroot -solid '#3b6e9c'
session=$(mktemp -d)
export XDG_RUNTIME_DIR=$session XDG_DATA_HOME=$session
export XDG_CONFIG_HOME=$session/config XDG_STATE_HOME=$session/state
export ALSA_CONFIG_PATH="/usr/share/alsa/alsa.conf:$build/alsa/asoundrc"
# The quick-classroom message closes by itself.
export TUTORLANE_MESSAGE_LOG="$run/window-messages.txt" TUTORLANE_MESSAGE_AUTOCLOSE_MS=1500
: >"$TUTORLANE_MESSAGE_LOG"

# No launch URL: a quick classroom on QuickClassHost (127.0.0.1), port 10086.
"$folder/bin/broadcaster" >"$run/window.log" 2>&1 &
pids+=($!)
window=""
for _ in $(seq 100); do
  window=$(xdotool search --name 'Tutorlane' 2>/dev/null | head -1 || true)
  [ -n "$window" ] && break
  sleep 0.2
done
[ -n "$window" ] || { echo "the window did not open; see $run/window.log" >&2; exit 1; }
sleep 3
# "开始直播": 41,168,75,16 dialog units at 1.5 pixels a unit; its centre.
xdotool mousemove --window "$window" 118 264 click 1
sleep 6
mkdir -p "$(dirname "$out")"
import -window "$window" "$out"
echo "messages: $(tr '\n' ' ' <"$TUTORLANE_MESSAGE_LOG")"
echo "recordings: $(ls -1 "$server/record" 2>/dev/null | tr '\n' ' ')"
echo "saved $out"
rm -rf "$session"
