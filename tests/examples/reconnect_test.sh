#!/usr/bin/env bash
# examples/serial_port_reconnect.vbs through an unplug: the bench's
# COM3<->COM4 pair is ended when the script prints "unplug" and started again
# when it prints "plug back in"; what it printed is compared with
# serial_port_reconnect.expected. The pair is started again however the
# script ends.
#
#   reconnect_test.sh BUILD_DIR SOURCE_DIR
set -uo pipefail
build=${1:?usage: reconnect_test.sh BUILD_DIR SOURCE_DIR}
source=${2:?usage: reconnect_test.sh BUILD_DIR SOURCE_DIR}
here=$(cd "$(dirname "$0")" && pwd)
pair() { bash "$source/tests/reliability/pair.sh" "$1" "$build/bench" 34; }
out=$(mktemp /tmp/vemblaric-reconnect.XXXXXX)
wanted=$(mktemp /tmp/vemblaric-reconnect.XXXXXX)
trap 'pair restart >/dev/null 2>&1; rm -f "$out" "$wanted"' EXIT
script=$(printf 'Z:%s' "$source/examples/serial_port_reconnect.vbs" | tr / '\\')
VEMBLARIC_RUN_TIMEOUT=90 "$build/wine-run" cscript.exe //nologo "$script" </dev/null >"$out" 2>&1 &
run=$!
# Until the script prints the line, or ends; at most 60 s.
said() {
  for _ in $(seq 600); do
    grep -q "^$1" "$out" && return 0
    kill -0 "$run" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}
said unplug && pair end
said "plug back in" && pair restart
wait "$run"
status=$?
tr -d '\r' <"$out" >"$wanted.out"
cat "$wanted.out"
if ! diff -u "$here/serial_port_reconnect.expected" "$wanted.out" >&2; then
  rm -f "$wanted.out"
  echo "the output differs from serial_port_reconnect.expected (- expected, + printed)" >&2
  exit 1
fi
rm -f "$wanted.out"
[ "$status" = 0 ] || { echo "the script ended with exit code $status" >&2; exit 1; }
