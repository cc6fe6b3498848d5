#!/usr/bin/env bash
# Builds the Windows build (scripts/build-windows.sh, which installs what is missing) and checks
# it:
#   - exports: each DLL exports exactly the functions its public header marks for export and
#     nothing else (none of the static libraries linked into it), and needs no DLL beyond
#     Windows' own and the project's;
#   - smoke: under Wine, rtmp_publish.exe publishes a short H.264/AAC file to an nginx of the
#     script's own on a loopback port, over RTMP and over RTMPS through an nginx TLS front
#     (trusted through --ca-file, refused without it, trusted through the Windows root store),
#     and ffprobe checks what nginx recorded; rtmp_play.exe plays the RTMP publish back, and a
#     closed port is refused;
#   - console: under Wine on a private Xvfb, broadcast_console.exe is launched through a
#     zembra.publish:// URL and broadcasts for 10 s a screen that a window of one colour covers,
#     with the pointer placed, and a microphone that is the project's test tone (tools/alsa_tone,
#     made ALSA's default PCM, which Wine captures from), to nginx on a loopback port; the
#     recording must decode cleanly, show that colour and the arrow at the pointer, and carry the
#     1 kHz tone without gaps. Its settings file in %APPDATA%\Tutorlane, the URL protocol's keys
#     and the local copy are checked in the Wine prefix (its user named in Chinese), arguments
#     after a launch URL must be refused, and the camera style runs without a camera (Wine lists
#     none).
#   - libtests: the library test programs (lib-stream, lib-ocelix) built for Windows, run under
#     Wine; they start their own peers (nginx, ffmpeg, ffprobe) as the Linux programs they are,
#     on loopback. The tests of Linux-only mechanisms are left out, each with its reason below.
#   scripts/test-windows.sh                  all of it
#   scripts/test-windows.sh stream ocelix    only the export check of those DLLs
#   scripts/test-windows.sh smoke            only the smoke test
#   scripts/test-windows.sh console          only the console broadcaster's run
#   scripts/test-windows.sh libtests         only the library tests
#   BUILD_DIR=... scripts/test-windows.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-win}
# Each check's folder is made here. Inside a check TMPDIR is a folder of the check's own, so
# that what Wine's server keeps there (a folder per prefix, left behind when the server is
# ended) goes with the check's folder.
tmp_root=${TMPDIR:-/tmp}
objdump=x86_64-w64-mingw32-objdump

# The names of a DLL's export table, sorted, one a line.
dll_exports() {
  "$objdump" -p "$1" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/s/^\s*\[ *[0-9]*\] //p' | sort
}

# The functions a header declares with the export macro (`MACRO type Name(`), sorted.
declared_exports() {
  local header=$1 macro=$2
  grep -oE "^${macro}[^(;]*\(" "$header" | sed -E 's/.*[^A-Za-z0-9_]([A-Za-z_][A-Za-z0-9_]*)\($/\1/' |
    sort
}

# The DLLs a DLL imports from, lower case, sorted.
dll_imports() {
  "$objdump" -p "$1" | sed -n 's/^\s*DLL Name: //p' | tr '[:upper:]' '[:lower:]' | sort -u
}

# Windows' own DLLs, and the project's: anything else (libstdc++-6.dll, libgcc_s_seh-1.dll,
# libwinpthread-1.dll, ...) would have to be shipped beside ours.
allowed_imports='advapi32.dll bcrypt.dll crypt32.dll gdi32.dll kernel32.dll msvcrt.dll ole32.dll
shell32.dll user32.dll winmm.dll ws2_32.dll stream.dll ocelix.dll'

# check_dll NAME HEADER MACRO [FUNCTION...]: NAME.dll of the build exports exactly HEADER's MACRO
# functions, the FUNCTIONs among them.
check_dll() {
  local name=$1 header=$2 macro=$3 dll=$build/bin/$1.dll
  shift 3
  local expected actual unexpected="" function
  if [ ! -f "$dll" ]; then
    echo "FAIL $name.dll: not built ($dll)"
    return 1
  fi
  expected=$(declared_exports "$header" "$macro")
  actual=$(dll_exports "$dll")
  if [ -z "$expected" ]; then
    echo "FAIL $name.dll: $header declares no $macro function"
    return 1
  fi
  for function in "$@"; do
    if ! grep -qx "$function" <<<"$expected"; then
      echo "FAIL $name.dll: $header does not mark $function with $macro"
      return 1
    fi
  done
  if [ "$expected" != "$actual" ]; then
    echo "FAIL $name.dll: exports differ from $macro of $header (< declared, > exported):"
    diff <(echo "$expected") <(echo "$actual") | grep '^[<>]' || true
    return 1
  fi
  for import in $(dll_imports "$dll"); do
    case " $(echo $allowed_imports) " in
      *" $import "*) ;;
      *) unexpected="$unexpected $import" ;;
    esac
  done
  if [ -n "$unexpected" ]; then
    echo "FAIL $name.dll: needs DLLs that are not Windows' own:$unexpected"
    return 1
  fi
  echo "ok   $name.dll: exports the $(echo "$expected" | wc -l) $macro functions of $header only;" \
    "imports $(dll_imports "$dll" | tr '\n' ' ')"
}

# ---- The smoke test under Wine ----

smoke_dir=""
smoke_pids=()

smoke_cleanup() {
  local pid
  for pid in "${smoke_pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  smoke_pids=()
  if [ -n "$smoke_dir" ]; then
    # The Wine server of the script's own prefix only.
    if [ -d "$smoke_dir/wine" ]; then
      TMPDIR=$smoke_dir/tmp WINEPREFIX=$smoke_dir/wine wineserver -k 2>/dev/null || true
    fi
    rm -rf "$smoke_dir"
    smoke_dir=""
  fi
  export TMPDIR=$tmp_root
}

# A Linux path as Wine's drive Z: sees it.
wine_path() {
  local path=$1
  echo "Z:${path//\//\\}"
}

# start_nginx NAME WRITE_CONF: an nginx of its own in $smoke_dir/NAME, its configuration written by
# `WRITE_CONF PREFIX PORT` for a random loopback port (another one when that port is taken).
# Sets nginx_port and nginx_pid; the pid joins smoke_pids.
start_nginx() {
  local name=$1 write_conf=$2 prefix=$smoke_dir/$1 port pid
  mkdir -p "$prefix/logs" "$prefix/record"
  for _ in 1 2 3 4 5; do
    port=$((20000 + RANDOM % 40000))
    {
      echo "load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;"
      echo "load_module /usr/lib/nginx/modules/ngx_stream_module.so;"
      [ "$(id -u)" -ne 0 ] || echo "user root;"
      echo "daemon off; master_process off; worker_processes 1;"
      echo "pid $prefix/logs/nginx.pid; error_log $prefix/logs/error.log info;"
      echo "events { worker_connections 64; }"
      "$write_conf" "$prefix" "$port"
    } >"$prefix/nginx.conf"
    /usr/sbin/nginx -p "$prefix/" -c "$prefix/nginx.conf" -e "$prefix/logs/error.log" \
      >"$prefix/logs/out" 2>&1 &
    pid=$!
    # Up once its pid file is written (after binding) and a connection is taken.
    for _ in $(seq 50); do
      kill -0 "$pid" 2>/dev/null || break
      if [ "$(cat "$prefix/logs/nginx.pid" 2>/dev/null)" = "$pid" ] &&
        (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
        smoke_pids+=("$pid")
        nginx_port=$port
        nginx_pid=$pid
        return 0
      fi
      sleep 0.1
    done
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  echo "FAIL smoke: nginx ($name) did not start:"
  cat "$prefix/logs/error.log" "$prefix/logs/out" 2>/dev/null
  return 1
}

# forget_pid PID: a process that has ended leaves smoke_pids (its number may be reused).
forget_pid() {
  local pid kept=()
  for pid in "${smoke_pids[@]}"; do [ "$pid" = "$1" ] || kept+=("$pid"); done
  smoke_pids=("${kept[@]}")
}

# stop_nginx PID: ends it and waits, so that its recordings are closed.
stop_nginx() {
  kill -TERM "$1"
  wait "$1" 2>/dev/null || true
  forget_pid "$1"
}

rtmp_server_conf() {
  echo "rtmp { server { listen 127.0.0.1:$2; chunk_size 4096;"
  echo "  application live { live on; record all; record_unique off; record_path $1/record; } } }"
}

rtmp_port=""
tls_front_conf() {
  echo "stream { ssl_protocols TLSv1.2 TLSv1.3;"
  echo "  server { listen 127.0.0.1:$2 ssl; ssl_certificate $smoke_dir/certs/server.pem;"
  echo "    ssl_certificate_key $smoke_dir/certs/server.key; proxy_pass 127.0.0.1:$rtmp_port; } }"
}

# A test authority and a certificate it signed for localhost and 127.0.0.1 (P-256, 30 days).
make_certificates() {
  local dir=$smoke_dir/certs
  mkdir -p "$dir"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 \
    -subj "/CN=Tutorlane Windows smoke test CA" -keyout "$dir/ca.key" -out "$dir/ca.pem" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
    2>"$dir/log" &&
    openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=localhost" \
      -keyout "$dir/server.key" -out "$dir/server.csr" 2>>"$dir/log" &&
    printf '%s\n' "subjectAltName=DNS:localhost,IP:127.0.0.1" "basicConstraints=critical,CA:FALSE" \
      "keyUsage=critical,digitalSignature" "extendedKeyUsage=serverAuth" >"$dir/server.ext" &&
    openssl x509 -req -in "$dir/server.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" \
      -set_serial "0x$(openssl rand -hex 8)" -days 30 -sha256 -extfile "$dir/server.ext" \
      -out "$dir/server.pem" 2>>"$dir/log" || {
    echo "FAIL smoke: the test certificates could not be made:"
    cat "$dir/log"
    return 1
  }
}

# Puts the test authority into the Wine prefix's machine root store (the registry form of
# Windows' certificate stores: the certificate's DER as property 32, under its SHA-1).
trust_in_wine_root_store() {
  local der=$smoke_dir/certs/ca.der thumbprint length
  openssl x509 -in "$smoke_dir/certs/ca.pem" -outform DER -out "$der"
  thumbprint=$(sha1sum "$der" | cut -c1-40 | tr a-f A-F)
  length=$(stat -c %s "$der")
  le32() { printf '%02x%02x%02x%02x' $(($1 & 255)) $((($1 >> 8) & 255)) \
    $((($1 >> 16) & 255)) $((($1 >> 24) & 255)); }
  wine reg add "HKLM\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\$thumbprint" \
    /v Blob /t REG_BINARY /f \
    /d "$(le32 32)$(le32 1)$(le32 "$length")$(od -An -tx1 -v "$der" | tr -d ' \n')" >/dev/null
}

video_units=75
audio_frames=""

# publish NAME URL [ARG...]: rtmp_publish.exe sends the test files to URL; its output goes to
# $smoke_dir/NAME.log. Returns its exit code.
publish() {
  local name=$1 url=$2
  shift 2
  local rc=0
  timeout 60 wine "$build/bin/rtmp_publish.exe" --video "$(wine_path "$smoke_dir/video.h264")" \
    --audio "$(wine_path "$smoke_dir/audio.aac")" --fps 25 --width 320 --height 240 "$@" "$url" \
    >"$smoke_dir/$name.log" 2>&1 || rc=$?
  return $rc
}

# expect_published NAME URL [ARG...]: the publish succeeds and says it sent every unit and frame.
expect_published() {
  local name=$1 url=$2
  if ! publish "$@"; then
    echo "FAIL smoke $name: rtmp_publish.exe failed on $url:"
    cat "$smoke_dir/$name.log"
    return 1
  fi
  local summary="^sent $video_units video units, $audio_frames audio frames"
  if ! grep -q "$summary" "$smoke_dir/$name.log"; then
    echo "FAIL smoke $name: not everything was sent to $url:"
    cat "$smoke_dir/$name.log"
    return 1
  fi
  echo "ok   smoke $name: $(tail -n 1 "$smoke_dir/$name.log") to $url"
}

# expect_refused NAME URL TEXT [ARG...]: the publish fails, saying TEXT.
expect_refused() {
  local name=$1 url=$2 text=$3 rc=0
  shift 3
  publish "$name" "$url" "$@" || rc=$?
  if [ "$rc" -ne 1 ] || ! grep -qF "$text" "$smoke_dir/$name.log"; then
    echo "FAIL smoke $name: expected exit 1 and \"$text\" from $url, got exit $rc:"
    cat "$smoke_dir/$name.log"
    return 1
  fi
  echo "ok   smoke $name: refused: $(grep -F "$text" "$smoke_dir/$name.log")"
}

# start_player NAME STREAM URL: rtmp_play.exe plays URL for 8 s in the background into NAME.h264
# and NAME.aac; returns once nginx counts it as a player of STREAM. Sets player_pid.
start_player() {
  local name=$1 stream=$2 url=$3
  timeout 60 wine "$build/bin/rtmp_play.exe" --seconds 8 \
    --video "$(wine_path "$smoke_dir/$name.h264")" --audio "$(wine_path "$smoke_dir/$name.aac")" \
    "$url" >"$smoke_dir/$name.log" 2>&1 &
  player_pid=$!
  smoke_pids+=("$player_pid")
  for _ in $(seq 300); do
    if grep -q "play: name='$stream'" "$smoke_dir/rtmp/logs/error.log"; then
      return 0
    fi
    kill -0 "$player_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -TERM "$player_pid" 2>/dev/null || true
  wait "$player_pid" 2>/dev/null || true
  forget_pid "$player_pid"
  echo "FAIL smoke $name: rtmp_play.exe did not start playing $url:"
  cat "$smoke_dir/$name.log"
  return 1
}

# expect_played NAME: the player of start_player ended by itself (its receive thread woken by
# the disconnect) and received every video unit and audio frame.
expect_played() {
  local name=$1 rc=0
  wait "$player_pid" || rc=$?
  forget_pid "$player_pid"
  local summary="^received $video_units video units (.*), $audio_frames audio frames"
  if [ "$rc" -ne 0 ] || ! grep -q "$summary" "$smoke_dir/$name.log"; then
    echo "FAIL smoke $name: rtmp_play.exe ended with exit $rc (124: did not end):"
    cat "$smoke_dir/$name.log"
    return 1
  fi
  echo "ok   smoke $name: $(tail -n 1 "$smoke_dir/$name.log")"
}

# expect_recording NAME: nginx's recording of stream NAME holds every video unit (H.264 320x240)
# and audio frame (AAC 44100 Hz) and decodes without an error.
expect_recording() {
  local name=$1 file=$smoke_dir/rtmp/record/$1.flv streams errors
  streams=$(ffprobe -v error -count_packets -show_entries \
    stream=codec_type,codec_name,width,height,sample_rate,nb_read_packets -of compact=nk=1:p=0 \
    "$file" 2>&1 | sed 's/|N\/A//g') || true
  local expected="h264|video|320|240|$video_units
aac|audio|44100|$audio_frames"
  if [ "$streams" != "$expected" ]; then
    echo "FAIL smoke $name: the recording $file holds"
    echo "$streams"
    echo "instead of"
    echo "$expected"
    return 1
  fi
  errors=$(ffmpeg -v error -i "$file" -f null - 2>&1) || errors="${errors:-ffmpeg failed}"
  if [ -n "$errors" ]; then
    echo "FAIL smoke $name: the recording does not decode cleanly: $errors"
    return 1
  fi
  echo "ok   smoke $name: recorded $video_units H.264 pictures and $audio_frames AAC frames"
}

smoke_test() {
  local started=$SECONDS failed=0 rtmp_pid tls_pid tls_port
  smoke_dir=$(mktemp -d "$tmp_root/tutorlane-wine-smoke.XXXXXX")
  trap smoke_cleanup EXIT
  trap 'exit 130' INT TERM
  mkdir "$smoke_dir/tmp"
  export TMPDIR=$smoke_dir/tmp
  export WINEPREFIX=$smoke_dir/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  wine wineboot -i >/dev/null 2>&1 || {
    echo "FAIL smoke: Wine could not set up $WINEPREFIX"
    return 1
  }
  echo "     smoke: Wine prefix ready after $((SECONDS - started)) s"

  # 3 s of a test picture (no B-frames, one slice) and of a tone.
  ffmpeg -v error -f lavfi -i testsrc=size=320x240:rate=25 -t 3 -c:v libx264 -preset ultrafast \
    -bf 0 -g 25 -x264-params slices=1:sliced-threads=0 -pix_fmt yuv420p -f h264 \
    "$smoke_dir/video.h264" &&
    ffmpeg -v error -f lavfi -i sine=frequency=440:sample_rate=44100 -t 3 -c:a aac -f adts \
      "$smoke_dir/audio.aac" || {
    echo "FAIL smoke: ffmpeg could not make the test files"
    return 1
  }
  audio_frames=$(ffprobe -v error -count_packets -show_entries stream=nb_read_packets \
    -of csv=p=0 "$smoke_dir/audio.aac")
  make_certificates || return 1

  start_nginx rtmp rtmp_server_conf || return 1
  rtmp_port=$nginx_port rtmp_pid=$nginx_pid
  start_nginx tls tls_front_conf || return 1
  tls_port=$nginx_port tls_pid=$nginx_pid

  if start_player played plain "rtmp://127.0.0.1:$rtmp_port/live/plain"; then
    expect_published plain "rtmp://127.0.0.1:$rtmp_port/live/plain" || failed=1
    expect_played played || failed=1
  else
    failed=1
  fi
  # By name (GetAddrInfoW), TLS with the certificate checked against the authority of --ca-file.
  expect_published tls "rtmps://localhost:$tls_port/live/tls" \
    --ca-file "$(wine_path "$smoke_dir/certs/ca.pem")" || failed=1
  expect_refused untrusted "rtmps://localhost:$tls_port/live/untrusted" \
    "the certificate of localhost is not from a trusted authority" || failed=1
  # The same authority trusted by Windows itself: read from the root store, no --ca-file.
  trust_in_wine_root_store
  expect_published root_store "rtmps://localhost:$tls_port/live/root_store" || failed=1

  stop_nginx "$tls_pid"
  stop_nginx "$rtmp_pid" # closes the recordings
  expect_refused closed_port "rtmp://127.0.0.1:$rtmp_port/live/closed" \
    "no connection to 127.0.0.1:$rtmp_port" || failed=1
  for name in plain tls root_store; do
    expect_recording "$name" || failed=1
  done
  if [ -e "$smoke_dir/rtmp/record/untrusted.flv" ] ||
    grep -q "name='untrusted'" "$smoke_dir/rtmp/logs/error.log"; then
    echo "FAIL smoke untrusted: the refused publish reached the server"
    failed=1
  fi
  echo "     smoke: $((SECONDS - started)) s in all"
  smoke_cleanup
  trap - EXIT INT TERM
  return $failed
}

# ---- The console broadcaster under Wine ----

# The bytes of text shifted as the classroom page shifts an address (byte i moves up by
# i mod 3 + 1), each percent-encoded.
shifted_url_payload() {
  local text=$1 out="" i c
  for ((i = 0; i < ${#text}; i++)); do
    c=$(printf '%d' "'${text:i:1}")
    out+=$(printf '%%%02X' $((c + i % 3 + 1)))
  done
  echo "$out"
}

# The same shifted bytes as the settings file holds them.
shifted_text() {
  local text=$1 out="" i c
  for ((i = 0; i < ${#text}; i++)); do
    c=$(printf '%d' "'${text:i:1}")
    out+=$(printf "\\$(printf '%03o' $((c + i % 3 + 1)))")
  done
  echo "$out"
}

# mean_rgb FILE SECONDS X Y W H: the mean red, green and blue of a W x H rectangle at (X, Y) of
# the picture SECONDS into FILE, as "r g b".
mean_rgb() {
  ffmpeg -v error -ss "$2" -i "$1" -frames:v 1 -vf "crop=$5:$6:$3:$4" -f rawvideo -pix_fmt rgb24 - |
    od -An -v -tu1 | tr -s ' ' '\n' | grep -v '^$' |
    awk '{ sum[NR % 3] += $1; n++ } END { if (n) printf "%d %d %d\n", sum[1] * 3 / n, sum[2] * 3 / n, sum[0] * 3 / n }'
}

# near "r g b" "r g b" TOLERANCE: every channel within TOLERANCE.
near() {
  local -a a=($1) b=($2)
  local i d
  [ ${#a[@]} -eq 3 ] || return 1
  for i in 0 1 2; do
    d=$((a[i] - b[i]))
    [ "${d#-}" -le "$3" ] || return 1
  done
}

# rms_db FILE [FILTER]: the RMS level of FILE's sound in dB (after FILTER), to a tenth.
rms_db() {
  local filter=${2:+$2,}
  ffmpeg -v info -i "$1" -vn -af "${filter}astats=measure_overall=RMS_level:measure_perchannel=none" \
    -f null - 2>&1 | sed -n 's/.*RMS level dB: \(-\?[0-9.]*\).*/\1/p' | tail -n 1
}

console_colour=2050C8 # the screen: red 32, green 80, blue 200
console_pointer_x=100
console_pointer_y=100
console_seconds=10
console_rate=15 # FrameRate of the shipped config.ini
tone_hz=1000

# The screen: a private Xvfb (no TCP) whose display Wine uses. Sets and exports DISPLAY.
start_console_display() {
  local pid
  Xvfb -displayfd 3 -screen 0 1280x720x24 -nolisten tcp 3>"$smoke_dir/display" \
    >"$smoke_dir/xvfb.log" 2>&1 &
  pid=$!
  smoke_pids+=("$pid")
  for _ in $(seq 100); do
    if [ -s "$smoke_dir/display" ]; then
      export DISPLAY=":$(cat "$smoke_dir/display")"
      return 0
    fi
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "FAIL console: Xvfb did not start:"
  cat "$smoke_dir/xvfb.log"
  return 1
}

# The microphone: the project's test tone (tools/alsa_tone) as ALSA's default PCM, which Wine's
# ALSA driver captures from. Sets and exports ALSA_CONFIG_PATH.
use_tone_as_default_pcm() {
  local module=$smoke_dir/alsa/libasound_module_pcm_tutorlane_tone.so
  mkdir -p "$smoke_dir/alsa"
  # shellcheck disable=SC2046
  if ! g++ -std=c++20 -O2 -shared -fPIC -DPIC "$root/tools/alsa_tone/tone_pcm.cpp" -o "$module" \
    $(pkg-config --cflags --libs alsa) 2>"$smoke_dir/alsa/build.log"; then
    echo "FAIL console: the test-tone ALSA module did not build:"
    cat "$smoke_dir/alsa/build.log"
    return 1
  fi
  {
    echo "pcm_type.tutorlane_tone { lib \"$module\" }"
    echo "pcm.!default { type tutorlane_tone frequency $tone_hz amplitude 8000 }"
  } >"$smoke_dir/alsa/asoundrc"
  export ALSA_CONFIG_PATH=/usr/share/alsa/alsa.conf:$smoke_dir/alsa/asoundrc
}

# run_console NAME ARG...: broadcast_console.exe with ARGs (in the locale $console_locale when it is
# set); its output in $smoke_dir/NAME.log
# with Unix line ends (Wine's ALSA probing of the capture-only tone for playback left out).
# Returns its exit code.
run_console() {
  local name=$1 rc=0
  shift
  env ${console_locale:+LC_ALL=$console_locale} timeout 120 wine "$build/bin/broadcast_console.exe" \
    "$@" >"$smoke_dir/$name.raw" 2>&1 || rc=$?
  console_log "$name"
  return $rc
}

console_log() {
  tr -d '\r' <"$smoke_dir/$1.raw" | grep -v '^ALSA lib .*capture only$' >"$smoke_dir/$1.log" || true
}

# interrupt_console NAME ARG...: as run_console, with no end of its own: once it printed its
# first status line, it gets SIGINT (Wine hands it over as Ctrl+C). Returns its exit code.
interrupt_console() {
  local name=$1 rc=0 pid
  shift
  timeout 120 wine "$build/bin/broadcast_console.exe" "$@" >"$smoke_dir/$name.raw" 2>&1 &
  pid=$!
  smoke_pids+=("$pid")
  for _ in $(seq 600); do
    grep -q '^00:00:01 ' "$smoke_dir/$name.raw" 2>/dev/null && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -INT "$pid" 2>/dev/null || true
  wait "$pid" || rc=$?
  forget_pid "$pid"
  console_log "$name"
  return $rc
}

# The whole run: screen, sound, settings, URL protocol, local copy; then what nginx recorded.
console_test() {
  local started=$SECONDS failed=0 rtmp_pid fill_pid rc=0 address payload recording
  smoke_dir=$(mktemp -d "$tmp_root/tutorlane-wine-console.XXXXXX")
  trap smoke_cleanup EXIT
  trap 'exit 130' INT TERM
  mkdir "$smoke_dir/tmp"
  export TMPDIR=$smoke_dir/tmp
  # Wine links the prefix's Videos, Documents, ... to the home folder: a home of the run's own.
  # Its user is named in Chinese, which the ANSI code page of Wine's (English) locale can't hold:
  # %APPDATA% and the Videos folder have it in their paths. These variables are the run's only
  # (the later checks get them back).
  # Wine takes its locale, and the program its language, from the locale variables: C.UTF-8
  # here, which Wine makes an English Windows with UTF-8 file names on the Linux side (one check
  # below runs in Chinese).
  local -x HOME=$smoke_dir/home DISPLAY="" ALSA_CONFIG_PATH="" USER=张老师 LOGNAME=张老师
  local -x LANG=C.UTF-8
  local LC_ALL LC_MESSAGES LANGUAGE
  unset LC_ALL LC_MESSAGES LANGUAGE
  mkdir -p "$HOME"
  export WINEPREFIX=$smoke_dir/wine WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  start_console_display || return 1
  use_tone_as_default_pcm || return 1
  wine wineboot -i >/dev/null 2>&1 || {
    echo "FAIL console: Wine could not set up $WINEPREFIX"
    return 1
  }
  wine reg add 'HKCU\Software\Wine\Drivers' /v Audio /d alsa /f >/dev/null
  echo "     console: Xvfb $DISPLAY, tone module and Wine prefix ready after $((SECONDS - started)) s"

  # Media Foundation and Direct3D are loaded when needed: the program starts without them.
  local import unexpected=""
  for import in $(dll_imports "$build/bin/broadcast_console.exe"); do
    case " $(echo $allowed_imports) " in
      *" $import "*) ;;
      *) unexpected="$unexpected $import" ;;
    esac
  done
  if [ -n "$unexpected" ]; then
    echo "FAIL console: broadcast_console.exe needs DLLs that are not Windows' own:$unexpected"
    failed=1
  fi

  start_nginx rtmp rtmp_server_conf || return 1
  rtmp_pid=$nginx_pid
  wine "$build/bin/fill_screen.exe" "$console_colour" "$console_pointer_x" "$console_pointer_y" \
    >"$smoke_dir/fill.log" 2>&1 &
  fill_pid=$!
  smoke_pids+=("$fill_pid")
  for _ in $(seq 300); do
    grep -q '^ready' "$smoke_dir/fill.log" && break
    kill -0 "$fill_pid" 2>/dev/null || break
    sleep 0.1
  done
  if ! grep -q '^ready' "$smoke_dir/fill.log"; then
    echo "FAIL console: fill_screen.exe did not cover the screen:"
    cat "$smoke_dir/fill.log"
    return 1
  fi

  # As a classroom page starts it: a zembra.publish:// URL, the user's settings made from the
  # program folder's config.ini in %APPDATA%\Tutorlane.
  address="rtmp://127.0.0.1:$nginx_port/live/console&4711"
  payload=$(shifted_url_payload "$address")
  local run_started=$SECONDS
  run_console console --seconds "$console_seconds" "zembra.publish://$payload&x" || rc=$?
  local run_took=$((SECONDS - run_started))
  if [ "$rc" -ne 0 ] || ! grep -q "^classroom 4711: publishing to ${address%&*}\$" \
    "$smoke_dir/console.log" || ! grep -q '^Broadcast ended!$' "$smoke_dir/console.log"; then
    echo "FAIL console: broadcast_console.exe ended with exit $rc:"
    cat "$smoke_dir/console.log"
    failed=1
  else
    echo "ok   console: broadcast_console.exe broadcast for $console_seconds s (the run took" \
      "$run_took s): $(grep -E '^00:00:[0-9]+ ' "$smoke_dir/console.log" | tail -n 1)"
  fi

  # Its settings, the URL protocol and the local copy, in the prefix.
  local settings copy command
  settings=$(find "$WINEPREFIX/drive_c/users" -path "*/$USER/AppData/Roaming/Tutorlane/config.ini" |
    head -n 1)
  if [ -z "$settings" ] || ! grep -qxF "Address=$(shifted_text "${address}")" "$settings" ||
    ! grep -qx 'FrameRate=15' "$settings"; then
    echo "FAIL console: no %APPDATA%\\Tutorlane\\config.ini of $USER made from the shipped one with the" \
      "launch's address (${settings:-none found})"
    failed=1
  else
    echo "ok   console: the settings are in ${settings#"$WINEPREFIX/"}, with the launch's address"
  fi
  command=$(wine reg query 'HKCU\Software\Classes\zembra.publish\shell\open\command' /ve 2>/dev/null |
    tr -d '\r' | sed -n 's/.*REG_SZ[[:space:]]*//p')
  local expected_command="\"$(wine_path "$build/bin/broadcast_console.exe")\" \"%1\""
  if [ "$command" != "$expected_command" ] ||
    ! wine reg query 'HKCU\Software\Classes\zembra.publish' /v 'URL Protocol' >/dev/null 2>&1; then
    echo "FAIL console: zembra.publish is not registered for the user with the quoted command"
    echo "  got:      $command"
    echo "  expected: $expected_command"
    failed=1
  else
    echo "ok   console: HKCU\\Software\\Classes\\zembra.publish opens $command"
  fi
  # A page's URL with a quote in it: the shell puts it into that command's quotes, the quote ends
  # the URL's argument early, and the rest of it comes as further arguments. The program takes
  # nothing after a URL: no other settings file is read or written, nothing is published.
  local hostile=$smoke_dir/hostile.ini
  printf '[Device]\nVideoStyle=1\nHaveAudio=0\nLocalCopy=0\n' >"$hostile"
  rc=0
  run_console injected "zembra.publish://x" --seconds 1 --config "$(wine_path "$hostile")" || rc=$?
  if [ "$rc" -ne 2 ] || ! grep -q '^usage: ' "$smoke_dir/injected.log" ||
    grep -q '^Address=' "$hostile"; then
    echo "FAIL console: arguments after a launch URL were taken (exit $rc; $(wc -l <"$hostile")" \
      "lines in the other settings file):"
    cat "$smoke_dir/injected.log"
    failed=1
  else
    echo "ok   console: arguments after a launch URL (a quote in a page's URL) are refused"
  fi
  # The user's language: an address too long for the settings is refused in English on an
  # English Windows and in the program's own Chinese on a Chinese one.
  local long_url language expected said
  long_url="zembra.publish://$(shifted_url_payload "rtmp://127.0.0.1:1/live/$(printf 'a%.0s' $(seq 120))&4711")&x"
  local console_locale
  for language in en_US.UTF-8 zh_CN.UTF-8; do
    expected="The classroom address is too long (149 bytes, at most 99 bytes) and cannot be used."
    [ "$language" = zh_CN.UTF-8 ] && expected="课堂地址太长（149 字节，最多 99 字节），不能使用。"
    rc=0
    console_locale=$language run_console "language-$language" --config "$(wine_path "$hostile")" \
      "$long_url" || rc=$?
    said=$(cat "$smoke_dir/language-$language.log")
    if [ "$rc" -ne 2 ] || [ "$said" != "$expected" ]; then
      echo "FAIL console: in $language a too long address gave exit $rc and said: $said"
      failed=1
    else
      echo "ok   console: in $language it says \"$said\""
    fi
  done
  # The copy's file as the console names it at the end, in the Videos known folder.
  copy=$(sed -n 's/^Local recording: \(.*\\'"$USER"'\\Videos\\Tutorlane\\4711-.*\.mp4\) (.*, saved)$/\1/p' \
    "$smoke_dir/console.log")
  local copy_file=""
  [ -z "$copy" ] || copy_file=$(wine winepath -u "$copy" 2>/dev/null | tr -d '\r')
  if [ -z "$copy_file" ] || [ ! -s "$copy_file" ] ||
    [ -n "$(ffmpeg -v error -i "$copy_file" -f null - 2>&1)" ]; then
    echo "FAIL console: no local copy that decodes in the user's Videos\\Tutorlane (${copy:-none})"
    failed=1
  else
    echo "ok   console: the local copy $copy ($(stat -c %s "$copy_file") bytes) decodes cleanly"
  fi

  # The camera style: Wine lists no camera, which the console says; the broadcast goes on until
  # the teacher presses Ctrl+C. Its settings are in a folder named in Chinese, which the ANSI
  # code page of Wine's (English) locale can't hold: the path reaches the program all the same.
  local folder=$smoke_dir/课堂设置
  mkdir -p "$folder"
  printf '[Device]\nVideoStyle=1\nVideoWidth=320\nVideoHeight=240\nFrameRate=15\nBitrate=300\nHaveAudio=0\nLocalCopy=0\nAddress=%s\n' \
    "$(shifted_text "rtmp://127.0.0.1:$nginx_port/live/camera&4712")" >"$folder/camera.ini"
  rc=0
  interrupt_console camera --config "$(wine_path "$folder/camera.ini")" || rc=$?
  if [ "$rc" -ne 0 ] || ! grep -q '^Failed to set camera video size!$' "$smoke_dir/camera.log" ||
    ! grep -q '^00:00:01 ' "$smoke_dir/camera.log" || ! grep -q '^Broadcast ended!$' "$smoke_dir/camera.log"; then
    echo "FAIL console camera: expected no camera under Wine, a broadcast all the same and its end" \
      "at Ctrl+C (exit $rc):"
    cat "$smoke_dir/camera.log"
    failed=1
  else
    echo "ok   console camera: settings read from a folder named in Chinese; no camera listed" \
      "under Wine (\"Failed to set camera video size!\"); the broadcast ran without one and ended" \
      "cleanly at Ctrl+C"
  fi

  kill -TERM "$fill_pid" 2>/dev/null || true
  wait "$fill_pid" 2>/dev/null || true
  forget_pid "$fill_pid"
  stop_nginx "$rtmp_pid" # closes the recording
  recording=$smoke_dir/rtmp/record/console.flv
  if ! check_console_recording "$recording"; then
    failed=1
  fi
  echo "     console: $((SECONDS - started)) s in all"
  smoke_cleanup
  trap - EXIT INT TERM
  return $failed
}

# What nginx recorded of the console's broadcast: it decodes cleanly, holds the whole screen at the
# frame rate and the sound, shows the screen's colour with the arrow where the pointer is, and
# carries the tone.
check_console_recording() {
  local file=$1 failed=0 streams errors video audio
  if [ ! -s "$file" ]; then
    echo "FAIL console recording: nothing recorded ($file)"
    return 1
  fi
  errors=$(ffmpeg -v error -i "$file" -f null - 2>&1) || errors="${errors:-ffmpeg failed}"
  if [ -n "$errors" ]; then
    echo "FAIL console recording: does not decode cleanly: $errors"
    failed=1
  fi
  streams=$(ffprobe -v error -count_packets -show_entries \
    stream=codec_type,codec_name,width,height,sample_rate,channels,nb_read_packets \
    -of compact=nk=1:p=0 "$file" 2>&1 | sed 's/|N\/A//g')
  video=$(sed -n 's/^h264|video|1280|720|\([0-9]*\)$/\1/p' <<<"$streams")
  audio=$(sed -n 's/^aac|audio|44100|2|\([0-9]*\)$/\1/p' <<<"$streams")
  # At least 90 % of the pictures and AAC frames of the broadcast's seconds.
  local want_video=$((console_seconds * console_rate * 9 / 10))
  local want_audio=$((console_seconds * 44100 / 1024 * 9 / 10))
  if [ -z "$video" ] || [ -z "$audio" ] || [ "$video" -lt "$want_video" ] ||
    [ "$audio" -lt "$want_audio" ]; then
    echo "FAIL console recording: expected H.264 1280x720 (>= $want_video pictures) and AAC" \
      "44100 Hz stereo (>= $want_audio frames), got:"
    echo "$streams"
    failed=1
  else
    echo "ok   console recording: $video H.264 1280x720 pictures, $audio AAC frames (44100 Hz" \
      "stereo), decoded without an error"
  fi

  local colour expected arrow
  expected="$((16#${console_colour:0:2})) $((16#${console_colour:2:2})) $((16#${console_colour:4:2}))"
  colour=$(mean_rgb "$file" 5 636 356 8 8)
  # Inside the arrow's fill: a few pixels right of and below its tip.
  arrow=$(mean_rgb "$file" 5 $((console_pointer_x + 4)) $((console_pointer_y + 12)) 4 4)
  if ! near "$colour" "$expected" 12; then
    echo "FAIL console recording: the screen's middle is RGB $colour, not $expected"
    failed=1
  elif ! near "$arrow" "255 180 32" 24; then
    echo "FAIL console recording: the arrow's fill at the pointer is RGB $arrow, not 255 180 32"
    failed=1
  else
    echo "ok   console recording: the screen is RGB $colour (shown: $expected), the arrow at the" \
      "pointer RGB $arrow"
  fi

  # The tone: a sine of amplitude 8000 is -15.2 dB; nearly all of it passes a band around
  # $tone_hz Hz, next to nothing a band around 440 Hz; no gap of silence.
  local all band other gaps
  all=$(rms_db "$file")
  band=$(rms_db "$file" "bandpass=f=$tone_hz:width_type=q:w=10")
  other=$(rms_db "$file" "bandpass=f=440:width_type=q:w=10")
  gaps=$(ffmpeg -v info -i "$file" -vn -af silencedetect=n=-40dB:d=0.1 -f null - 2>&1 |
    grep -c 'silence_start' || true)
  if [ -z "$all" ] || [ -z "$band" ] || [ -z "$other" ] ||
    ! awk -v a="$all" -v b="$band" -v o="$other" \
      'BEGIN { exit !(a > -17 && a < -13.5 && a - b < 1 && a - o > 20) }' || [ "$gaps" -ne 0 ]; then
    echo "FAIL console recording: the sound is not the $tone_hz Hz tone without gaps (RMS $all dB," \
      "$band dB around $tone_hz Hz, $other dB around 440 Hz, $gaps silences)"
    failed=1
  else
    echo "ok   console recording: the $tone_hz Hz tone, RMS $all dB ($band dB around $tone_hz Hz," \
      "$other dB around 440 Hz), no silence"
  fi
  return $failed
}

# ---- The library tests under Wine ----

lib_test_programs=(stream_wire_tests stream_client_tests ocelix_codecs_tests ocelix_logic_tests
  ocelix_copy_tests ocelix_server_tests)
# "program test reason": tests of a mechanism that Windows (or Wine) does not have.
lib_test_exclusions=(
  "stream_wire_tests Log.FilesGoToTheUsersOwnFolderAndNeverThroughALink the XDG state folder, POSIX modes 0700/0600 and planted links (the Windows folder is %LOCALAPPDATA%\\Tutorlane; Wine 8 makes no symbolic link)"
  "ocelix_copy_tests CopyingInstanceTest.AFullDiskEndsTheCopyPlayableWhileTheBroadcastGoesOn a per-process file size limit (RLIMIT_FSIZE, EFBIG) fills the disk: Windows has none"
  "ocelix_copy_tests LocalCopyCTest.TheSharedLibraryExportsTheCopyAndItsRtmpCallsBindToTheStreamLibrary ELF symbols with nm and ldd; the DLLs' exports and imports are the export check's"
  "ocelix_server_tests OcelixServer.ALineCutAtAnyMomentHealsByAddressAndByHostName its 3 s bound on healing a reset line is Linux's: under Wine, with other work on the machine, 3.0-3.6 s were measured (the reconnection itself, not a lost lesson)"
  "ocelix_server_tests OcelixServer.LipSyncAtTwentyFiveAndFifteenFpsASlowLineALostServerAndASilentLine its slow line bounds the delay at the server by Linux's unsent limit (TCP_NOTSENT_LOWAT, 16 KiB); Windows has none, and under Wine the 64 KiB send buffer becomes Linux's (doubled), seconds of a slow line"
)

libtests_dir=""
libtests_session="" # the session of the test program running now

# Ends what is left of the running test program's session (an interrupted run), then Wine.
libtests_cleanup() {
  if [ -n "$libtests_session" ]; then
    kill -KILL $(pgrep -s "$libtests_session") 2>/dev/null || true
    libtests_session=""
  fi
  if [ -n "$libtests_dir" ]; then
    if [ -d "$libtests_dir/wine" ]; then
      TMPDIR=$libtests_dir/tmp WINEPREFIX=$libtests_dir/wine wineserver -k 2>/dev/null || true
    fi
    rm -rf "$libtests_dir"
    libtests_dir=""
  fi
  export TMPDIR=$tmp_root
}

# The "Suite.Test" names of a test program, one a line.
lib_test_names() {
  timeout 60 wine "$1" --gtest_list_tests 2>/dev/null | tr -d '\r' |
    awk '/^[^ ]/ { suite = $1 } /^  [^ ]/ { print suite $1 }'
}

lib_passed=0
lib_excluded=0

# run_lib_tests PROGRAM: PROGRAM.exe under Wine without its excluded tests, in a session of its
# own; a process of the session still running after it ended (a peer a test left behind) fails
# it, and is ended.
run_lib_tests() {
  local program=$1 exe=$build/bin/$1.exe log=$libtests_dir/$1.log started=$SECONDS
  local entry of name reason filter="" names rc=0 session left passed
  names=$(lib_test_names "$exe")
  if [ -z "$names" ]; then
    echo "FAIL libtests $program: $exe lists no tests"
    return 1
  fi
  for entry in "${lib_test_exclusions[@]}"; do
    read -r of name reason <<<"$entry"
    [ "$of" = "$program" ] || continue
    if ! grep -qx "$name" <<<"$names"; then
      echo "FAIL libtests $program: the excluded test $name is not among its tests"
      return 1
    fi
    filter="$filter:$name"
    lib_excluded=$((lib_excluded + 1))
  done
  setsid timeout -k 10 900 wine "$exe" --gtest_filter="*${filter:+-${filter#:}}" >"$log" 2>&1 &
  session=$!
  libtests_session=$session
  wait "$session" || rc=$?
  left=$(pgrep -a -s "$session" || true)
  if [ -n "$left" ]; then
    kill -KILL $(pgrep -s "$session") 2>/dev/null || true
    echo "FAIL libtests $program: left running after it ended:"
    echo "$left"
    rc=1
  fi
  libtests_session=""
  passed=$(tr -d '\r' <"$log" | sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\?\.$/\1/p')
  if [ "$rc" -ne 0 ] || [ -z "$passed" ] || grep -qa '^\[  FAILED  \]' "$log"; then
    echo "FAIL libtests $program (exit $rc, 124: timed out) after $((SECONDS - started)) s:"
    tr -d '\r' <"$log" | grep -a -B2 -A12 'Failure\|^\[  FAILED  \]\|^\[==' | tail -n 80
    return 1
  fi
  lib_passed=$((lib_passed + passed))
  echo "ok   libtests $program: $passed tests passed in $((SECONDS - started)) s"
}

lib_tests() {
  local started=$SECONDS failed=0 program entry
  libtests_dir=$(mktemp -d "$tmp_root/tutorlane-wine-libtests.XXXXXX")
  trap libtests_cleanup EXIT
  trap 'exit 130' INT TERM
  mkdir "$libtests_dir/tmp"
  export TMPDIR=$libtests_dir/tmp
  export WINEPREFIX=$libtests_dir/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  # A server that stays until the end, so that Wine's own processes start here and not in a test
  # program's session.
  mkdir -p "$WINEPREFIX"
  wineserver -p
  wine wineboot -i >/dev/null 2>&1 || {
    echo "FAIL libtests: Wine could not set up $WINEPREFIX"
    return 1
  }
  echo "     libtests: Wine prefix ready after $((SECONDS - started)) s"
  for entry in "${lib_test_exclusions[@]}"; do
    read -r program name reason <<<"$entry"
    echo "skip libtests $program $name: $reason"
  done
  for program in "${lib_test_programs[@]}"; do
    run_lib_tests "$program" || failed=1
  done
  echo "     libtests: $lib_passed tests passed, $lib_excluded left out, $((SECONDS - started)) s in all"
  libtests_cleanup
  trap - EXIT INT TERM
  return $failed
}

checks=("$@")
[ ${#checks[@]} -gt 0 ] || checks=(stream ocelix smoke console libtests)
build_targets=(all)
for check in "${checks[@]}"; do
  case $check in
    stream | ocelix | smoke | console) ;;
    libtests) build_targets+=(lib_tests) ;;
    *)
      echo "unknown check: $check (stream, ocelix, smoke, console, libtests)" >&2
      exit 2
      ;;
  esac
done

build_started=$SECONDS
if ! build_log=$("$root/scripts/build-windows.sh" --target "${build_targets[@]}" 2>&1); then
  echo "$build_log"
  echo "FAIL build: scripts/build-windows.sh failed"
  exit 1
fi
echo "     build: scripts/build-windows.sh --target ${build_targets[*]} took" \
  "$((SECONDS - build_started)) s"
# The source version each dependency is built from, and a warning when it is not the newest.
grep -E '^(WARN )?windows deps:' <<<"$build_log" || true
failed=0
for check in "${checks[@]}"; do
  case $check in
    stream)
      check_dll stream "$root/stream/client/include/stream/rtmp.h" RTMP_API \
        RTMP_SetTlsCaFile RTMP_GetLastError || failed=1
      ;;
    ocelix)
      check_dll ocelix "$root/ocelix/include/ocelix/ocelix.h" OCELIX_API OCELIX_SetTlsCaFile ||
        failed=1
      ;;
    # A check that gave up early has left its folder, Wine server and peers: they end here,
    # before the next check takes the folder's place.
    smoke)
      smoke_test || failed=1
      smoke_cleanup
      ;;
    console)
      console_test || failed=1
      smoke_cleanup
      ;;
    libtests)
      lib_tests || failed=1
      libtests_cleanup
      ;;
  esac
done
exit $failed
