# Sourced by the run, screenshot and benchmark scripts: the built-in local RTMP server, a display
# and a microphone for a broadcast on this machine. Every process started in the background is
# added to `pids`, and all of them are ended when the sourcing script exits.

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT INT TERM

# start_local_server DIR PORT: nginx with its RTMP module on 127.0.0.1:PORT, application
# "encoder/qkz", recording every stream to DIR/record.
start_local_server() {
  local server=$1 port=$2
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
      # A publisher that sends nothing for 5 s (a line gone dead) is dropped, so that the
      # broadcaster's next publish of the same stream is taken.
      drop_idle_publisher 5s;
      record all;
      record_path $server/record;
      record_unique on;
    }
  }
}
CONF
  if (exec 3<>/dev/tcp/127.0.0.1/"$port") 2>/dev/null; then
    echo "port $port is taken: is another local server running?" >&2
    return 1
  fi
  nginx -p "$server" -c "$server/conf/nginx.conf" &
  pids+=($!)
  for _ in $(seq 50); do
    (exec 3<>/dev/tcp/127.0.0.1/"$port") 2>/dev/null && return 0
    sleep 0.1
  done
  echo "the local server did not start; see $server/logs/error.log" >&2
  return 1
}

# start_virtual_display SIZE: Xvfb on a free display number; exports DISPLAY.
start_virtual_display() {
  local display=":$(( 90 + RANDOM % 100 ))"
  Xvfb "$display" -screen 0 "$1" -nolisten tcp >/dev/null 2>&1 &
  pids+=($!)
  export DISPLAY=$display
  for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && return 0; sleep 0.1; done
  echo "Xvfb did not start" >&2
  return 1
}

# something_moving: a clock and a pointer that wanders, so the broadcast shows motion.
something_moving() {
  if command -v xclock >/dev/null; then xclock -update 1 -geometry 300x300+400+200 & pids+=($!); fi
  ( x=0; while true; do x=$(( (x + 15) % 1200 )); xdotool mousemove "$x" $(( 200 + x / 4 )) 2>/dev/null; sleep 0.1; done ) &
  pids+=($!)
}

# use_test_tone_without_sound_card BUILD: when the machine has no sound card, ALSA gets the
# real-time test tone; sets `tone` to its PCM name ("tutorlane_tone"), or to "" with a card.
use_test_tone_without_sound_card() {
  tone=""
  if ! arecord -l 2>/dev/null | grep -q '^card'; then
    export ALSA_CONFIG_PATH="/usr/share/alsa/alsa.conf:$1/alsa/asoundrc"
    tone=tutorlane_tone
  fi
}
