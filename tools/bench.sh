#!/usr/bin/env bash
# The virtual null-modem bench: a private Wine prefix inside the build tree
# whose COM1<->COM2 and COM3<->COM4 are socat pty pairs, and COM21<->COM22 a
# third pair for the ports that hosts reach by their full device name.
# Two more pairs stand for devices on another machine: ser2net serves com32
# on 127.0.0.1 as a Telnet server with the serial-port control option, and
# com34 as raw TCP, and a test plays each device on the pair's other end,
# COM31 and COM33. (One device behind both accepters would refuse the one
# while the other closes.) The port numbers are in bench/ser2net.ports
# ("rfc2217 N" and "raw N"); bench/com32 and com34 are the served ends, for
# `stty -F`.
#
#   bench.sh start BUILD_DIR   make the prefix if needed, start wineserver and the pairs
#   bench.sh stop BUILD_DIR    stop everything that start started
#
# Only the build tree is written. The wineserver is started here, detached from
# any terminal, before a pty exists: one that Wine starts on demand can take a
# pty as its controlling terminal and floods the output when the peer closes.
set -euo pipefail

cmd=${1:?usage: bench.sh start|stop BUILD_DIR}
launch=$(cd "$(dirname "$0")" && pwd)/wine-launch.sh
build=$(cd "${2:?usage: bench.sh start|stop BUILD_DIR}" && pwd)
state=$build/bench

# The build's prefix, its kind (win32 or win64) and its loader.
if [ ! -f "$build/wine-env" ]; then
  echo "bench: $build is not a configured build (no wine-env)" >&2
  exit 2
fi
. "$build/wine-env"

stop() {
  if [ -f "$state/pids" ]; then
    while read -r pid; do
      kill "$pid" 2>/dev/null || true
    done < "$state/pids"
    rm -f "$state/pids"
  fi
  if [ -f "$state/ser2net.pid" ]; then
    local s2n
    s2n=$(cat "$state/ser2net.pid")
    kill "$s2n" 2>/dev/null || true
    for _ in $(seq 40); do kill -0 "$s2n" 2>/dev/null || break; sleep 0.05; done
    kill -9 "$s2n" 2>/dev/null || true
    rm -f "$state/ser2net.pid" "$state/ser2net.ports"
  fi
  rm -f "$state"/pair*.pid
  timeout 20 wineserver -k 2>/dev/null || true
  timeout 20 wineserver -w 2>/dev/null || true
  # Wine's helper processes of this prefix can outlive a killed wineserver.
  local pid
  for pid in $(pgrep -f '\.exe' 2>/dev/null); do
    if { tr '\0' '\n' <"/proc/$pid/environ"; } 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX"; then
      kill -9 "$pid" 2>/dev/null || true
    fi
  done
}

make_prefix() {
  mkdir -p "$state"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    VEMBLARIC_RUN_TIMEOUT=180 bash "$launch" "$VEMBLARIC_WINE" wineboot -i >"$state/wineboot.log" 2>&1
  fi
  # Ports are read when the wineserver starts, so write them before starting it.
  cat >"$state/ports.reg" <<REG
REGEDIT4

[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]
"COM1"="$state/com1"
"COM2"="$state/com2"
"COM3"="$state/com3"
"COM4"="$state/com4"
"COM21"="$state/com21"
"COM22"="$state/com22"
"COM31"="$state/com31"
"COM33"="$state/com33"

[HKEY_CURRENT_USER\\Software\\Wine\\Drivers]
"Graphics"="null"
REG
  if ! grep -q "$state/com4" "$WINEPREFIX/system.reg" 2>/dev/null \
     || ! grep -q "$state/com22" "$WINEPREFIX/system.reg" 2>/dev/null \
     || ! grep -q "$state/com33" "$WINEPREFIX/system.reg" 2>/dev/null \
     || ! grep -q '"Graphics"="null"' "$WINEPREFIX/user.reg" 2>/dev/null; then
    VEMBLARIC_RUN_TIMEOUT=60 bash "$launch" "$VEMBLARIC_WINE" regedit /S "Z:$(printf '%s' "$state/ports.reg" | tr / '\\')" >/dev/null 2>&1
  fi
  timeout 30 wineserver -k 2>/dev/null || true
  timeout 30 wineserver -w 2>/dev/null || true
}

start() {
  stop
  make_prefix
  # Without -f the server returns once it listens, so the first program
  # cannot meet a server still starting.
  setsid wineserver -p </dev/null >"$state/wineserver.log" 2>&1
  : >"$state/pids"
  # Wine's own services (services.exe, winedevice, rpcss) start with the first
  # program and live as long as the wineserver. Start them here, so they do not
  # inherit a test's output pipe and keep ctest waiting for its end.
  VEMBLARIC_RUN_TIMEOUT=120 bash "$launch" "$VEMBLARIC_WINE" cmd /c exit </dev/null >"$state/services.log" 2>&1
  # A pair: two ends of one pty pair, raw, no echo, as a null-modem cable.
  # Each pair's pid is also kept on its own (pair12.pid, pair34.pid), so a
  # test can end one pair as a device that vanishes.
  local a b
  for pair in "1 2" "3 4" "21 22" "31 32" "33 34"; do
    read -r a b <<<"$pair"
    rm -f "$state/com$a" "$state/com$b"
    setsid socat "pty,raw,echo=0,link=$state/com$a" "pty,raw,echo=0,link=$state/com$b" \
      </dev/null >>"$state/socat.log" 2>&1 &
    echo $! >>"$state/pids"
    echo $! >"$state/pair$a$b.pid"
  done
  for _ in $(seq 100); do
    [ -e "$state/com1" ] && [ -e "$state/com2" ] && [ -e "$state/com3" ] && [ -e "$state/com4" ] \
      && [ -e "$state/com21" ] && [ -e "$state/com22" ] && [ -e "$state/com31" ] \
      && [ -e "$state/com32" ] && [ -e "$state/com33" ] && [ -e "$state/com34" ] \
      && { start_ser2net; return; }
    sleep 0.05
  done
  echo "bench: the pty pairs did not appear" >&2
  return 1
}

# Whether something listens on TCP port $1 (/proc/net/tcp gives it in hex).
listening() {
  local hex
  hex=$(printf '%04X' "$1")
  grep -qE "^ *[0-9]+: [0-9A-F]+:$hex [0-9A-F]+:0000 0A" /proc/net/tcp /proc/net/tcp6 2>/dev/null
}

# ser2net in front of com32 and com34. A new client takes over from one
# still closing, so that tests can open again at once. Several builds may run benches at once, so the
# ports come from the build's path, and the next pair is tried when one is
# taken. -u: no UUCP lock files, which would be written outside the build tree.
start_ser2net() {
  local base rfc raw try s2n
  base=$(( 20000 + $(printf '%s' "$build" | cksum | cut -d' ' -f1) % 20000 / 2 * 2 ))
  for try in $(seq 0 9); do
    rfc=$(( base + try * 2 )) raw=$(( base + try * 2 + 1 ))
    listening "$rfc" || listening "$raw" && continue
    cat >"$state/ser2net.yaml" <<YAML
%YAML 1.1
---
connection: &rfc2217
  accepter: telnet(rfc2217),tcp,127.0.0.1,$rfc
  connector: serialdev,$state/com32,9600n81,local
  options:
    kickolduser: true
connection: &raw
  accepter: tcp,127.0.0.1,$raw
  connector: serialdev,$state/com34,9600n81,local
  options:
    kickolduser: true
YAML
    setsid ser2net -n -u -c "$state/ser2net.yaml" </dev/null >>"$state/ser2net.log" 2>&1 &
    s2n=$!
    echo "$s2n" >"$state/ser2net.pid"
    for _ in $(seq 100); do
      if listening "$rfc" && listening "$raw"; then
        printf 'rfc2217 %s\nraw %s\n' "$rfc" "$raw" >"$state/ser2net.ports"
        return 0
      fi
      kill -0 "$s2n" 2>/dev/null || break
      sleep 0.05
    done
    # Not listening on both (a port taken meanwhile): this ser2net goes.
    kill -9 "$s2n" 2>/dev/null || true
    rm -f "$state/ser2net.pid"
  done
  echo "bench: ser2net did not start (see $state/ser2net.log)" >&2
  return 1
}

case $cmd in
  start) start ;;
  stop) stop ;;
  *) echo "usage: bench.sh start|stop BUILD_DIR" >&2; exit 2 ;;
esac
