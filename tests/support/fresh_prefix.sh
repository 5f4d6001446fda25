# Fresh Wine prefixes for the install tests, sourced by their scripts: a
# prefix made new by wineboot, as a Windows user's machine that has never
# seen the control, inside the build tree. Each has its own wineserver,
# started detached and stopped by prefix_stop (the caller's EXIT trap).
#
#   . fresh_prefix.sh BUILD_DIR      reads the build's wine-env (kind, loader)
#   prefix_create DIR [PORTS_DIR]    a new prefix in DIR, COM1-COM4 mapped to
#                                    PORTS_DIR/com1..com4 when given
#   prefix_run DIR PROGRAM ARGS...   a program of the build's word size in it
#   prefix_run32 DIR PROGRAM ARGS... a 32-bit program in it (its reg, cscript)
#   prefix_stop DIR                  ends its wineserver and every program
# shellcheck shell=bash

fresh_build=${1:?usage: . fresh_prefix.sh BUILD_DIR}
# shellcheck source=/dev/null
. "$fresh_build/wine-env"
fresh_prefixes=()

windows_path() { printf 'Z:%s' "$1" | tr / '\\'; }

prefix_run() {
  WINEPREFIX=$1 timeout --kill-after=10 "${VEMBLARIC_RUN_TIMEOUT:-120}" "$VEMBLARIC_WINE" "${@:2}"
}
prefix_run32() {
  WINEPREFIX=$1 timeout --kill-after=10 "${VEMBLARIC_RUN_TIMEOUT:-120}" wine "${@:2}"
}

prefix_create() {
  local dir=$1 ports=${2:-}
  prefix_stop "$dir"
  rm -rf "$dir"
  mkdir -p "$dir"
  fresh_prefixes+=("$dir")
  WINEPREFIX=$dir timeout 300 "$VEMBLARIC_WINE" wineboot -i >"$dir.wineboot.log" 2>&1 ||
    { echo "wineboot failed for $dir (log $dir.wineboot.log)" >&2; return 1; }
  {
    printf 'REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Wine\\Drivers]\n"Graphics"="null"\n'
    if [ -n "$ports" ]; then
      printf '\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n'
      for n in 1 2 3 4; do printf '"COM%s"="%s/com%s"\n' "$n" "$ports" "$n"; done
    fi
  } >"$dir.setup.reg"
  prefix_run "$dir" regedit /S "$(windows_path "$dir.setup.reg")" >/dev/null 2>&1
  # Ports are read when the wineserver starts: start it again, detached from
  # any terminal, with Wine's services, so none of them holds a test's output.
  WINEPREFIX=$dir timeout 30 wineserver -k 2>/dev/null
  WINEPREFIX=$dir timeout 30 wineserver -w 2>/dev/null
  WINEPREFIX=$dir setsid wineserver -p -f </dev/null >"$dir.wineserver.log" 2>&1 &
  # The first program can meet the server still starting and fail; a second
  # try finds it up. What each try said stays in the services log.
  local try
  for try in 1 2 3; do
    prefix_run "$dir" cmd /c exit </dev/null >>"$dir.services.log" 2>&1 && return 0
    echo "(try $try failed)" >>"$dir.services.log"
    sleep 1
  done
  echo "Wine's services did not start in $dir (log $dir.services.log)" >&2
  return 1
}

# Call it before removing the prefix: its wineserver is found through the
# folder. Wine's services of the prefix can outlive a killed wineserver, so
# they are ended too, found by the prefix in their environment.
prefix_stop() {
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
