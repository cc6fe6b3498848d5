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
#   - libtests: the library test programs (lib-stream, lib-ocelix) built for Windows, run under
#     Wine; they start their own peers (nginx, ffmpeg, ffprobe) as the Linux programs they are,
#     on loopback. The tests of Linux-only mechanisms are left out, each with its reason below.
#   scripts/test-windows.sh                  all of it
#   scripts/test-windows.sh stream ocelix    only the export check of those DLLs
#   scripts/test-windows.sh smoke            only the smoke test
#   scripts/test-windows.sh libtests         only the library tests
#   BUILD_DIR=... scripts/test-windows.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-win}
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
      WINEPREFIX=$smoke_dir/wine wineserver -k 2>/dev/null || true
    fi
    rm -rf "$smoke_dir"
    smoke_dir=""
  fi
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
  smoke_dir=$(mktemp -d "${TMPDIR:-/tmp}/tutorlane-wine-smoke.XXXXXX")
  trap smoke_cleanup EXIT
  trap 'exit 130' INT TERM
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

# ---- The library tests under Wine ----

lib_test_programs=(stream_wire_tests stream_client_tests ocelix_codecs_tests ocelix_logic_tests
  ocelix_copy_tests)
# "program test reason": tests of a mechanism that Windows (or Wine) does not have.
lib_test_exclusions=(
  "stream_wire_tests Log.FilesGoToTheUsersOwnFolderAndNeverThroughALink the XDG state folder, POSIX modes 0700/0600 and planted links (the Windows folder is %LOCALAPPDATA%\\Tutorlane; Wine 8 makes no symbolic link)"
  "ocelix_copy_tests CopyingInstanceTest.AFullDiskEndsTheCopyPlayableWhileTheBroadcastGoesOn a per-process file size limit (RLIMIT_FSIZE, EFBIG) fills the disk: Windows has none"
  "ocelix_copy_tests LocalCopyCTest.TheSharedLibraryExportsTheCopyAndItsRtmpCallsBindToTheStreamLibrary ELF symbols with nm and ldd; the DLLs' exports and imports are the export check's"
)

libtests_dir=""

libtests_cleanup() {
  if [ -n "$libtests_dir" ]; then
    if [ -d "$libtests_dir/wine" ]; then
      WINEPREFIX=$libtests_dir/wine wineserver -k 2>/dev/null || true
    fi
    rm -rf "$libtests_dir"
    libtests_dir=""
  fi
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
  wait "$session" || rc=$?
  left=$(pgrep -a -s "$session" || true)
  if [ -n "$left" ]; then
    kill -KILL $(pgrep -s "$session") 2>/dev/null || true
    echo "FAIL libtests $program: left running after it ended:"
    echo "$left"
    rc=1
  fi
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
  libtests_dir=$(mktemp -d "${TMPDIR:-/tmp}/tutorlane-wine-libtests.XXXXXX")
  trap libtests_cleanup EXIT
  trap 'exit 130' INT TERM
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
[ ${#checks[@]} -gt 0 ] || checks=(stream ocelix smoke libtests)
build_targets=(all)
for check in "${checks[@]}"; do
  case $check in
    stream | ocelix | smoke) ;;
    libtests) build_targets+=(lib_tests) ;;
    *)
      echo "unknown check: $check (stream, ocelix, smoke, libtests)" >&2
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
    smoke) smoke_test || failed=1 ;;
    libtests) lib_tests || failed=1 ;;
  esac
done
exit $failed
