#!/usr/bin/env bash
# CPU cost of a screen broadcast: FFmpeg's pipeline against broadcast_console, on the same job.
#
# For each picture size (1280x720, 1920x1080) and scene, a virtual display (Xvfb) shows a fixed
# moving scene, and each program in turn broadcasts it for the same time to the local nginx-rtmp
# server, which records it:
#   calm  a slide that stays put, an analog clock ticking once a second and a pointer that circles
#         over the slide (ten moves a second)
#   busy  a full-screen picture that changes every frame (ffplay showing a moving gradient)
# The job: 25 fps, H.264 by x264 "veryfast" with the "zerolatency" tune at 800 kbit/s, a key frame
# every 2 s, AAC 128 kbit/s stereo 44.1 kHz from the same microphone (the real-time test tone when
# the machine has no sound card).
#
# Printed per run: CPU seconds of the broadcasting process (user + system, from /usr/bin/time),
# its peak resident memory, the video frames in the recording (ffprobe) and, per job, the ratio of
# our CPU seconds to FFmpeg's, in all and per recorded frame. The scene programs and the X server run in both turns alike and are
# not counted. This is a benchmark: figures depend on the machine and on what else runs on it.
#
#   bench/cpu_vs_ffmpeg.sh            20 s per run
#   bench/cpu_vs_ffmpeg.sh 30         30 s per run
#   SIZES="1920x1080" SCENES="busy" bench/cpu_vs_ffmpeg.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
seconds=${1:-20}
sizes=${SIZES:-"1280x720 1920x1080"}
scenes=${SCENES:-"calm busy"}
fps=25

"$root/scripts/install-deps.sh"
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j "$(nproc)" --target broadcast_console alsa_tone_module >/dev/null

. "$root/scripts/lib/local_session.sh"

work=$(mktemp -d /tmp/cpu_vs_ffmpeg.XXXXXX)
port=$(( 20000 + RANDOM % 20000 ))
start_local_server "$work/server" "$port"
use_test_tone_without_sound_card "$build"
microphone=${tone:-default}

# The stored address of the settings file: each character moved up by 1, 2, 3, 1, 2, 3, ...
shifted_address() {
  local text=$1 out="" i code
  for (( i = 0; i < ${#text}; i++ )); do
    printf -v code '%d' "'${text:i:1}"
    printf -v code '%03o' $(( code + i % 3 + 1 ))
    printf -v code "\\$code"
    out+=$code
  done
  printf '%s' "$out"
}

# The slide of the calm scene, as an X window dump that xwud shows.
make_slide() {
  local w=$1 h=$2 font=/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf
  local fontarg=()
  [ -f "$font" ] && fontarg=(-font "$font")
  convert -size "${w}x${h}" xc:'#f4f1e8' "${fontarg[@]}" \
    -fill '#1b3a6b' -draw "rectangle 0,0 $w,$(( h / 9 ))" \
    -fill white -pointsize $(( h / 20 )) -annotate +$(( w / 30 ))+$(( h / 13 )) 'Lesson 4: adding fractions' \
    -fill '#222222' -pointsize $(( h / 28 )) \
    -annotate +$(( w / 15 ))+$(( h / 4 )) '1/2 + 1/4 = 2/4 + 1/4 = 3/4' \
    -annotate +$(( w / 15 ))+$(( h / 3 )) 'Same denominator: add the numerators.' \
    -annotate +$(( w / 15 ))+$(( h * 5 / 12 )) 'Different ones: make them equal first.' \
    -fill '#e0a030' -draw "rectangle $(( w / 15 )),$(( h / 2 )) $(( w / 3 )),$(( h * 3 / 4 ))" \
    -fill '#3080c0' -draw "circle $(( w / 2 )),$(( h * 5 / 8 )) $(( w / 2 + h / 8 )),$(( h * 5 / 8 ))" \
    xwd:"$work/slide-${w}x$h.xwd"
}

# start_scene NAME W H: starts the scene's programs on $DISPLAY; their pids go to scene_pids.
start_scene() {
  local name=$1 w=$2 h=$3
  scene_pids=()
  if [ "$name" = calm ]; then
    [ -f "$work/slide-${w}x$h.xwd" ] || make_slide "$w" "$h"
    xwud -in "$work/slide-${w}x$h.xwd" -noclick & scene_pids+=($!)
    xclock -analog -update 1 -geometry 200x200+$(( w - 240 ))+$(( h / 7 )) & scene_pids+=($!)
    # The pointer circles the middle of the slide: 36 positions, one every 0.1 s.
    local points
    points=$(awk -v cx=$(( w / 2 )) -v cy=$(( h / 2 )) -v r=$(( h / 4 )) \
      'BEGIN { for (i = 0; i < 36; i++) printf "%d,%d ", cx + r * cos(i * 3.14159265 / 18), cy + r * sin(i * 3.14159265 / 18) }')
    ( while true; do
        for p in $points; do xdotool mousemove "${p%,*}" "${p#*,}" 2>/dev/null; sleep 0.1; done
      done ) & scene_pids+=($!)
  else
    SDL_AUDIODRIVER=dummy ffplay -loglevel quiet -an -noborder -left 0 -top 0 -x "$w" -y "$h" \
      -f lavfi "gradients=s=${w}x$h:r=$fps:speed=0.02:n=4" & scene_pids+=($!)
    xdotool mousemove $(( w / 2 )) $(( h / 2 ))
  fi
  pids+=("${scene_pids[@]}")
  sleep 2  # the windows are up and drawing
}

stop_pids() {
  for pid in "$@"; do kill "$pid" 2>/dev/null || true; done
  for pid in "$@"; do wait "$pid" 2>/dev/null || true; done
}

# measure LABEL COMMAND...: runs the command under /usr/bin/time; sets cpu (s) and rss (MB).
measure() {
  local label=$1
  shift
  /usr/bin/time -f '%U %S %M' -o "$work/time-$label" "$@" >"$work/log-$label" 2>&1 || {
    echo "$label failed; see $work/log-$label" >&2
    tail -5 "$work/log-$label" >&2
  }
  read -r user system kb <"$work/time-$label"
  cpu=$(awk -v u="$user" -v s="$system" 'BEGIN { printf "%.2f", u + s }')
  rss=$(awk -v k="$kb" 'BEGIN { printf "%.0f", k / 1024 }')
}

frames_recorded() {
  local file
  file=$(ls -1 "$work/server/record/$1"*.flv 2>/dev/null | head -1)
  if [ -z "$file" ]; then echo 0; return; fi
  ffprobe -v error -select_streams v:0 -count_frames -show_entries stream=nb_read_frames \
    -of csv=p=0 "$file" | head -1
}

# start_display SIZE: Xvfb on a display number it picks itself (free of other servers); exports
# DISPLAY and sets display_pid.
start_display() {
  local fifo="$work/displayfd"
  rm -f "$fifo"
  mkfifo "$fifo"
  Xvfb -displayfd 3 -screen 0 "$1" -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
  display_pid=$!
  pids+=("$display_pid")
  local number
  read -r -t 10 number <"$fifo" || { echo "Xvfb did not start" >&2; return 1; }
  export DISPLAY=":$number"
}

rows=()
for size in $sizes; do
  w=${size%x*}
  h=${size#*x}
  for scene in $scenes; do
    tag="$scene-$size"
    start_display "${size}x24"
    start_scene "$scene" "$w" "$h"

    # FFmpeg: x11grab (pointer drawn) and the ALSA microphone, libx264 and its aac.
    measure "ffmpeg-$tag" ${FFMPEG_WRAPPER:-} ffmpeg -nostdin -v error \
      -thread_queue_size 64 -f x11grab -framerate $fps -video_size "$size" -i "$DISPLAY" \
      -thread_queue_size 64 -f alsa -ac 2 -ar 44100 -i "$microphone" \
      -c:v libx264 -preset veryfast -tune zerolatency -profile:v high -pix_fmt yuv420p \
      -b:v 800k -maxrate 800k -bufsize 800k -g $(( 2 * fps )) -keyint_min $(( 2 * fps )) \
      -sc_threshold 0 -c:a aac -b:a 128k -ac 2 -t "$seconds" \
      -f flv -rtmp_app encoder/qkz -rtmp_playpath "ffmpeg-$tag" "rtmp://127.0.0.1:$port"
    ffmpeg_cpu=$cpu ffmpeg_rss=$rss
    ffmpeg_frames=$(frames_recorded "ffmpeg-$tag")

    # Ours: the console program with the same settings.
    cat >"$work/config-$tag.ini" <<INI
[Device]
Address=$(shifted_address "rtmp://127.0.0.1:$port/encoder/qkz/ours-$tag&bench")
DeviceID=0
VideoStyle=0
VideoWidth=640
VideoHeight=480
ScreenWidth=$w
ScreenHeight=$h
ScreenRate=4
FrameRate=$fps
Interval=$(( 2 * fps ))
Quality=23
Bitrate=800
HaveAudio=1
Record=0

[Audio]
SamplesPerSec=44100
BitsPerSample=16
Chanels=2
INI
    console_args=(--seconds "$seconds" --config "$work/config-$tag.ini")
    [ -n "$tone" ] && console_args+=(--audio-device "$tone")
    measure "ours-$tag" ${OURS_WRAPPER:-} "$build/broadcaster/broadcast_console" "${console_args[@]}"
    ours_cpu=$cpu ours_rss=$rss
    ours_frames=$(frames_recorded "ours-$tag")

    ratio=$(awk -v a="$ours_cpu" -v b="$ffmpeg_cpu" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }')
    # Per recorded frame too: on a loaded machine a program that falls behind makes fewer frames
    # and spends less.
    per_frame=$(awk -v a="$ours_cpu" -v fa="$ours_frames" -v b="$ffmpeg_cpu" -v fb="$ffmpeg_frames" \
      'BEGIN { if (fa > 0 && fb > 0 && b > 0) printf "%.2f", (a / fa) / (b / fb); else print "-" }')
    rows+=("| $size $scene, ${seconds} s | $ffmpeg_cpu s, $ffmpeg_rss MB, $ffmpeg_frames frames | $ours_cpu s, $ours_rss MB, $ours_frames frames | $ratio | $per_frame |")
    echo "${rows[-1]}"

    stop_pids "${scene_pids[@]}" "$display_pid"
  done
done

echo
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores"
echo
echo "| job (${fps} fps) | FFmpeg: CPU, peak RSS, frames | broadcast_console: CPU, peak RSS, frames | CPU ratio | per frame |"
echo "|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
rm -rf "$work"
