#!/usr/bin/env bash
# Checks the Windows build of scripts/build-windows.sh. So far: each DLL exports exactly the
# functions its public header marks for export and nothing else (none of the static libraries
# linked into it), and needs no DLL beyond Windows' own and the project's.
#   scripts/test-windows.sh                  both DLLs of build-win/bin
#   scripts/test-windows.sh ocelix           only ocelix.dll
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

# check_dll NAME HEADER MACRO: NAME.dll of the build exports exactly HEADER's MACRO functions.
check_dll() {
  local name=$1 header=$2 macro=$3 dll=$build/bin/$1.dll
  local expected actual unexpected=""
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

dlls=("$@")
[ ${#dlls[@]} -gt 0 ] || dlls=(stream ocelix)
failed=0
for dll in "${dlls[@]}"; do
  case $dll in
    stream) check_dll stream "$root/stream/client/include/stream/rtmp.h" RTMP_API || failed=1 ;;
    ocelix) check_dll ocelix "$root/ocelix/include/ocelix/ocelix.h" OCELIX_API || failed=1 ;;
    *)
      echo "unknown DLL: $dll (stream, ocelix)" >&2
      exit 2
      ;;
  esac
done
exit $failed
