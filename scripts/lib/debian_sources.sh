# Sourced by the scripts that build from Debian's source packages. `ensure_deb_src PKG...` makes
# sure `apt-get source` works for those source packages: when apt knows no version of one of
# them (another deb-src entry, say a third party's, is not enough), one of the project's own is
# added for the main archive, its updates and the security archive (same key as the deb entries,
# or apt refuses the conflicting Signed-By values). `newest_source_version PKG` prints the newest
# version of a source package apt knows of, empty when there is none; `source_versions PKG` prints
# every version, newest first.

deb_src_file=/etc/apt/sources.list.d/tutorlane-src.sources

_deb_src_entry() {
  local codename
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: %s %s-updates\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n\n' \
    "$codename" "$codename"
  printf 'Types: deb-src\nURIs: http://deb.debian.org/debian-security\nSuites: %s-security\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
    "$codename"
}

# Whether apt knows a version of each source package named (and at least one is named).
_sources_known() {
  local package
  [ $# -gt 0 ] || return 1
  for package in "$@"; do
    [ -n "$(source_versions "$package")" ] || return 1
  done
}

ensure_deb_src() {
  local sudo="" entry
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  entry=$(_deb_src_entry)
  if [ -f "$deb_src_file" ]; then
    # Our own entry from an earlier version of this script is brought up to date.
    [ "$(cat "$deb_src_file")" = "$entry" ] && return 0
  elif _sources_known "$@"; then
    return 0
  fi
  printf '%s\n' "$entry" | $sudo tee "$deb_src_file" >/dev/null
  $sudo apt-get update -q >&2
}

source_versions() {
  local sorted=() v i
  for v in $(apt-cache showsrc --only-source "$1" 2>/dev/null | sed -n 's/^Version: //p'); do
    # Insertion sort in Debian's version order; the lists hold a handful of versions.
    for ((i = ${#sorted[@]}; i > 0; i--)); do
      if [ "${sorted[i - 1]}" = "$v" ]; then continue 2; fi
      dpkg --compare-versions "${sorted[i - 1]}" gt "$v" && break
    done
    sorted=("${sorted[@]:0:i}" "$v" "${sorted[@]:i}")
  done
  [ ${#sorted[@]} -eq 0 ] || printf '%s\n' "${sorted[@]}"
}

newest_source_version() {
  source_versions "$1" | head -n1
}
