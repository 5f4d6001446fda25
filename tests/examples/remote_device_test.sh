#!/usr/bin/env bash
# examples/remote_device.vbs against the bench's ser2net: the scripted peer
# plays the device on COM31, behind rfc2217://127.0.0.1:PORT, and the script's
# output is compared with remote_device.expected.
#
#   remote_device_test.sh BUILD_DIR SOURCE_DIR
set -uo pipefail
build=${1:?usage: remote_device_test.sh BUILD_DIR SOURCE_DIR}
source=${2:?usage: remote_device_test.sh BUILD_DIR SOURCE_DIR}
here=$(cd "$(dirname "$0")" && pwd)
port=$(awk '$1 == "rfc2217" {print $2}' "$build/bench/ser2net.ports" 2>/dev/null)
if [ -z "$port" ]; then
  echo "no ser2net port in $build/bench/ser2net.ports; is the bench running?" >&2
  exit 1
fi
log=$(mktemp /tmp/vemblaric-peer.XXXXXX)
peer=
trap '[ -z "$peer" ] || kill "$peer" 2>/dev/null; rm -f "$log"' EXIT
VEMBLARIC_RUN_TIMEOUT=60 "$build/wine-run" "$build/demo/vemblaric_peer.exe" 31 57600 </dev/null >"$log" 2>&1 &
peer=$!
for _ in $(seq 300); do
  grep -q listening "$log" && break
  sleep 0.1
done
if ! grep -q listening "$log"; then
  cat "$log" >&2
  echo "the peer did not start on COM31" >&2
  exit 1
fi
script=$(printf 'Z:%s' "$source/examples/remote_device.vbs" | tr / '\\')
bash "$here/expect_output.sh" "$here/remote_device.expected" \
  "$build/wine-run" cscript.exe //nologo "$script" "rfc2217://127.0.0.1:$port"
status=$?
wait "$peer"
peer_status=$?
peer=
cat "$log"
[ "$peer_status" = 0 ] || { echo "the peer ended with exit code $peer_status" >&2; exit 1; }
exit "$status"
