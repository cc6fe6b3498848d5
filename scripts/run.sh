#!/usr/bin/env bash
# A live broadcast to the built-in local RTMP server:
#   installs what is missing, builds, starts nginx with its RTMP module on 127.0.0.1:10086
#   (application "encoder/qkz", recording everything), provides a display (the real one, or
#   Xvfb with something moving on it), and runs the broadcaster from run/config.ini.
#
#   scripts/run.sh              broadcast until Ctrl-C
#   scripts/run.sh 30           broadcast for 30 seconds
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
run=${RUN_DIR:-$root/run}
seconds=${1:-}
port=10086

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target broadcast_console alsa_tone_module >/dev/null

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT INT TERM

# The built-in local server, in a folder of its own.
server="$run/server"
mkdir -p "$server"/{conf,logs,record,temp}
cat >"$server/conf/nginx.conf" <<CONF
load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;
$( [ "$(id -u)" -eq 0 ] && echo "user root;" )
daemon off;
master_process off;
error_log $server/logs/error.log info;
pid $server/logs/nginx.pid;
events { worker_connections 64; }
http {
  access_log off;
  client_body_temp_path $server/temp/body;
  proxy_temp_path $server/temp/proxy;
  fastcgi_temp_path $server/temp/fastcgi;
  uwsgi_temp_path $server/temp/uwsgi;
  scgi_temp_path $server/temp/scgi;
}
rtmp {
  server {
    listen 127.0.0.1:$port;
    chunk_size 4096;
    application encoder/qkz {
      live on;
      record all;
      record_path $server/record;
      record_unique on;
    }
  }
}
CONF
if (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null; then
  echo "port $port is taken: is another local server running?" >&2
  exit 1
fi
nginx -p "$server" -c "$server/conf/nginx.conf" &
pids+=($!)
for _ in $(seq 50); do
  (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null && break
  sleep 0.1
done

# A display: the real one, or a virtual one with a moving pointer and a clock.
if [ -z "${DISPLAY:-}" ]; then
  display=":$(( 90 + RANDOM % 100 ))"
  Xvfb "$display" -screen 0 1280x720x24 -nolisten tcp >/dev/null 2>&1 &
  pids+=($!)
  export DISPLAY=$display
  for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
  if command -v xclock >/dev/null; then xclock -update 1 -geometry 300x300+400+200 & pids+=($!); fi
  ( x=0; while true; do x=$(( (x + 15) % 1200 )); xdotool mousemove "$x" $(( 200 + x / 4 )) 2>/dev/null; sleep 0.1; done ) &
  pids+=($!)
  echo "no display found: broadcasting the virtual display $DISPLAY"
fi

# A microphone: the real default one, or a test tone paced in real time.
audio_args=()
if ! arecord -l 2>/dev/null | grep -q '^card'; then
  export ALSA_CONFIG_PATH="/usr/share/alsa/alsa.conf:$build/alsa/asoundrc"
  audio_args=(--audio-device tutorlane_tone)
  echo "no sound card found: broadcasting a test tone"
fi

# The settings: a copy of the shipped config.ini, kept between runs.
[ -f "$run/config.ini" ] || cp "$root/broadcaster/app/config.ini" "$run/config.ini"

args=(--config "$run/config.ini" "${audio_args[@]}")
[ -n "$seconds" ] && args+=(--seconds "$seconds")
echo "recordings go to $server/record"
"$build/broadcaster/broadcast_console" "${args[@]}"
echo "recordings: $(ls -1 "$server/record" 2>/dev/null | tr '\n' ' ')"
