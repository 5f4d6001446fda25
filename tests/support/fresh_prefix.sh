# Fresh Wine prefixes for the install tests, sourced by their scripts: a
# prefix as new as wineboot makes it, as a Windows user's machine that has
# never seen the control, inside the build tree. Booting a prefix takes 10-25 s,
# so the build boots one once, its template (fresh-prefix/template, made again
# when the Wine version changes), and every fresh prefix is a copy of it. Each
# prefix has its own wineserver, stopped by prefix_stop (the caller's EXIT trap).
#
#   . fresh_prefix.sh BUILD_DIR      reads the build's wine-env (kind, loader)
#   prefix_create DIR [ports]        a new prefix in DIR; with "ports", its
#                                    COM1<->COM2 and COM3<->COM4 are pty pairs
#                                    of its own (DIR.ports), as on the bench but
#                                    shared with no other test
#   prefix_run DIR PROGRAM ARGS...   a program of the build's word size in it
#   prefix_run32 DIR PROGRAM ARGS... a 32-bit program in it (its reg, cscript)
#   prefix_stop DIR                  ends its wineserver and every program
# Programs start through tools/wine-launch.sh, which starts one again when Wine
# itself failed to start it.
# shellcheck shell=bash

fresh_build=${1:?usage: . fresh_prefix.sh BUILD_DIR}
# shellcheck source=/dev/null
. "$fresh_build/wine-env"
fresh_prefixes=()
fresh_launch=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../tools" && pwd)/wine-launch.sh

windows_path() { printf 'Z:%s' "$1" | tr / '\\'; }

prefix_run() {
  WINEPREFIX=$1 VEMBLARIC_RUN_TIMEOUT=${VEMBLARIC_RUN_TIMEOUT:-120} \
    bash "$fresh_launch" "$VEMBLARIC_WINE" "${@:2}"
}
prefix_run32() {
  WINEPREFIX=$1 VEMBLARIC_RUN_TIMEOUT=${VEMBLARIC_RUN_TIMEOUT:-120} bash "$fresh_launch" wine "${@:2}"
}

# Starts the prefix's wineserver, detached from any terminal so that none of
# Wine's services holds a test's output. Without -f it returns only once the
# server listens, so the next program cannot meet a server still starting.
prefix_serve() {
  WINEPREFIX=$1 setsid wineserver -p </dev/null >>"$1.wineserver.log" 2>&1
}

# The build's booted prefix that fresh ones are copied from; made under a lock,
# since install tests run side by side.
prefix_template() {
  local template=$fresh_build/fresh-prefix/template version
  version=$("$VEMBLARIC_WINE" --version 2>/dev/null)
  mkdir -p "$fresh_build/fresh-prefix"
  (
    flock 9
    [ -f "$template.ready" ] && [ "$(cat "$template.ready")" = "$version" ] && exit 0
    prefix_stop "$template"
    rm -rf "$template" "$template.ready"
    mkdir -p "$template"
    WINEPREFIX=$template VEMBLARIC_RUN_TIMEOUT=300 \
      bash "$fresh_launch" "$VEMBLARIC_WINE" wineboot -i >"$template.wineboot.log" 2>&1 ||
      { echo "wineboot failed for $template (log $template.wineboot.log)" >&2; exit 1; }
    printf 'REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Wine\\Drivers]\n"Graphics"="null"\n' \
      >"$template.setup.reg"
    prefix_run "$template" regedit /S "$(windows_path "$template.setup.reg")" >/dev/null 2>&1
    # Ended, so that its registry is written out whole before it is copied.
    prefix_stop "$template"
    printf '%s\n' "$version" >"$template.ready"
  ) 9>"$fresh_build/fresh-prefix/lock"
}

# The system's libraries and programs, nearly all of a prefix's 1.3 GB, are
# hard links to the template's: Wine only maps them, and copying them took 2 s
# a prefix and removing them 1 s. Every other file (the registry, the .ini
# files, drivers\etc) is a copy of the prefix's own.
prefix_copy() {
  local template=$1 dir=$2
  cp -al "$template" "$dir" || return 1
  (cd "$template" && find . -type f ! \( \( -path './drive_c/windows/system32/*' -o \
       -path './drive_c/windows/syswow64/*' \) -regextype posix-extended \
       -iregex '.*\.(dll|exe|nls|drv|sys|vxd|ocx|cpl|acm|tlb|com|ax)' \) -print0 |
     xargs -0r cp -a --parents --remove-destination -t "$dir")
}

prefix_create() {
  local dir=$1 ports=
  [ -n "${2:-}" ] && ports=$dir.ports
  prefix_stop "$dir"
  rm -rf "$dir" "$dir.wineserver.log" "$dir.ports"
  fresh_prefixes+=("$dir")
  prefix_template || return 1
  mkdir -p "$(dirname "$dir")"
  prefix_copy "$fresh_build/fresh-prefix/template" "$dir" || return 1
  if [ -n "$ports" ]; then
    # Wine's services map the ports when the first program starts. Written
    # into the copy's registry file before then (the wineserver reads it when
    # it starts), they need no regedit and no second start.
    if ! ports=$ports awk '
      { print }
      /^\[Software\\\\Wine\\\\Ports\] / { section = 1; next }
      section && /^#time=/ {
        for (n = 1; n <= 4; n++) printf "\"COM%d\"=\"%s/com%d\"\n", n, ENVIRON["ports"], n
        section = 0; written = 1
      }
      END { exit !written }' "$dir/system.reg" >"$dir/system.reg.ports"; then
      echo "no port section in $dir/system.reg" >&2
      return 1
    fi
    mv "$dir/system.reg.ports" "$dir/system.reg" || return 1
  fi
  prefix_serve "$dir"
  # Wine's services start with the first program; start them now, off any
  # test's output.
  prefix_run "$dir" cmd /c exit </dev/null >>"$dir.services.log" 2>&1 ||
    { echo "Wine's services did not start in $dir (log $dir.services.log)" >&2; return 1; }
  [ -z "$ports" ] || prefix_ports "$ports"
}

# Two null-modem pairs, COM1<->COM2 and COM3<->COM4, raw and without echo, as
# the bench's; their socat processes are listed in PORTS/pids.
prefix_ports() {
  local ports=$1 a b
  mkdir -p "$ports"
  for pair in "1 2" "3 4"; do
    read -r a b <<<"$pair"
    setsid socat "pty,raw,echo=0,link=$ports/com$a" "pty,raw,echo=0,link=$ports/com$b" \
      </dev/null >>"$ports/socat.log" 2>&1 &
    echo $! >>"$ports/pids"
  done
  for _ in $(seq 100); do
    [ -e "$ports/com1" ] && [ -e "$ports/com2" ] && [ -e "$ports/com3" ] && [ -e "$ports/com4" ] &&
      return 0
    sleep 0.05
  done
  echo "the pty pairs of $ports did not appear" >&2
  return 1
}

# Call it before removing the prefix: its wineserver is found through the
# folder. Wine's services of the prefix can outlive a killed wineserver, so
# they are ended too, found by the prefix in their environment.
prefix_stop() {
  if [ -f "$1.ports/pids" ]; then
    xargs -r kill <"$1.ports/pids" 2>/dev/null
    rm -f "$1.ports/pids"
  fi
  [ -d "$1" ] || return 0
  WINEPREFIX=$1 timeout 30 wineserver -k 2>/dev/null
  WINEPREFIX=$1 timeout 30 wineserver -w 2>/dev/null
  local pid
  for pid in $(pgrep -f 'wineserver|\.exe' 2>/dev/null); do
    if { tr '\0' '\n' <"/proc/$pid/environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$1"; then
      kill -9 "$pid" 2>/dev/null
    fi
  done
  return 0
}

prefix_stop_all() {
  local dir
  for dir in "${fresh_prefixes[@]}"; do prefix_stop "$dir"; done
}
