#!/usr/bin/env bash
# A headless Wayland desktop with the screen-cast portal, for tests: in a private runtime folder
# DIR it starts a D-Bus session bus, sway (headless, pixman renderer) showing a solid background
# colour and a clock that changes all the time, PipeWire, WirePlumber, the wlr portal backend
# (built by scripts/lib/portal_backend.sh) and xdg-desktop-portal. When everything answers it
# writes DIR/env (the variables a client needs, KEY=VALUE lines) and then DIR/ready, and runs
# until it gets SIGTERM or SIGINT or its parent ends, when it ends every process it started.
#   wayland_desktop.sh DIR [WIDTHxHEIGHT] [#RRGGBB]
# The backend's output chooser is DIR/chooser.sh, which appends a line to DIR/chooser.log each
# time the desktop asks which screen to share; the backend keeps what was chosen for sessions
# that hand back their restore token.
set -euo pipefail
dir=$1
size=${2:-1280x720}
colour=${3:-#2080c0}
root=$(cd "$(dirname "$0")/../../.." && pwd)
backend=$("$root/scripts/lib/portal_backend.sh")

rt=$dir/rt
mkdir -p "$rt" "$dir/cfg/xdg-desktop-portal-wlr"
chmod 700 "$rt"
# sway 1.7 refuses to run as root: then it runs as nobody, and the runtime folder is its.
run_sway=()
if [ "$(id -u)" -eq 0 ]; then
  chown 65534:65534 "$rt"
  run_sway=(setpriv --reuid=65534 --regid=65534 --clear-groups)
fi
chmod 755 "$dir"

cat >"$dir/sway.cfg" <<CFG
xwayland disable
output HEADLESS-1 mode $size bg "$colour" solid_color
default_border none
for_window [app_id="clock"] floating enable, resize set 480 120, move position 0 0
CFG
cat >"$dir/chooser.sh" <<CHOOSER
#!/bin/sh
echo asked >>"$dir/chooser.log"
echo HEADLESS-1
CHOOSER
chmod +x "$dir/chooser.sh"
printf '[screencast]\nchooser_type=simple\nchooser_cmd=%s\nmax_fps=30\n' "$dir/chooser.sh" \
  >"$dir/cfg/xdg-desktop-portal-wlr/config"

export XDG_RUNTIME_DIR=$rt XDG_CONFIG_HOME=$dir/cfg XDG_CURRENT_DESKTOP=sway
export XDG_SESSION_TYPE=wayland XDG_DATA_HOME=$dir/data
export WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman WLR_HEADLESS_OUTPUTS=1
export WAYLAND_DISPLAY=wayland-1 DBUS_SESSION_BUS_ADDRESS=unix:path=$rt/bus
# The backend hands out restore tokens only when told that choices may be kept.
export XDPW_PERSIST_MODE=permanent
unset DISPLAY

pids=()
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done
  # Services the bus started on demand (permission store, document portal) are its children.
  [ -f "$dir/bus.pid" ] && pkill -P "$(cat "$dir/bus.pid")" 2>/dev/null || true
  wait 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 0' TERM INT

waitfor() {  # waits up to 10 s for a command to succeed
  for _ in $(seq 200); do
    if eval "$1" >/dev/null 2>&1; then return 0; fi
    sleep 0.05
  done
  echo "timed out waiting for: $1" >&2
  return 1
}

has_name() {  # whether a name is owned on the session bus
  dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.NameHasOwner "string:$1" | grep -q 'boolean true'
}

dbus-daemon --session --nofork --print-pid=3 --address="$DBUS_SESSION_BUS_ADDRESS" \
  3>"$dir/bus.pid" >"$dir/dbus.log" 2>&1 &
pids+=($!)
waitfor "[ -S $rt/bus ]"
"${run_sway[@]}" sway -c "$dir/sway.cfg" >"$dir/sway.log" 2>&1 &
pids+=($!)
waitfor "ls $rt/sway-ipc.*.sock"
export SWAYSOCK
SWAYSOCK=$(ls "$rt"/sway-ipc.*.sock)
waitfor "swaymsg -t get_outputs"
pipewire >"$dir/pipewire.log" 2>&1 &
pids+=($!)
waitfor "[ -S $rt/pipewire-0 ]"
wireplumber >"$dir/wireplumber.log" 2>&1 &
pids+=($!)
# The patched backend must own its name before the portal would start the packaged one.
"$backend" -l INFO >"$dir/xdpw.log" 2>&1 &
pids+=($!)
waitfor "has_name org.freedesktop.impl.portal.desktop.wlr"
/usr/libexec/xdg-desktop-portal >"$dir/portal.log" 2>&1 &
pids+=($!)
waitfor "has_name org.freedesktop.portal.Desktop"
waitfor "pw-cli ls Metadata | grep -q 'metadata.name.*default'"
# Something that changes all the time: a fresh cast on a still screen may get no picture.
"${run_sway[@]}" env XDG_RUNTIME_DIR="$rt" WAYLAND_DISPLAY=wayland-1 foot --app-id=clock \
  -o font=monospace:size=28 sh -c \
  'while :; do printf "\033[H\033[2J%s" "$(date +%T.%N)"; sleep 0.05; done' \
  >"$dir/clock.log" 2>&1 &
pids+=($!)
waitfor "swaymsg -t get_tree | grep -q '\"app_id\": \"clock\"'"

{
  echo "XDG_RUNTIME_DIR=$rt"
  echo "XDG_SESSION_TYPE=wayland"
  echo "XDG_CURRENT_DESKTOP=sway"
  echo "WAYLAND_DISPLAY=wayland-1"
  echo "DBUS_SESSION_BUS_ADDRESS=$DBUS_SESSION_BUS_ADDRESS"
} >"$dir/env"
touch "$dir/ready"
# Until told to stop, or until the test that started it is gone (a crashed test leaves nothing).
parent=$PPID
while kill -0 "$parent" 2>/dev/null; do sleep 1 & wait $! || true; done
