#!/usr/bin/env bash
# SerialPort's demo host in the main job's session against the peer: the
# exchange is driven by DataReceived alone and ends on the peer's quit, and
# the two failures come with their HRESULT and error object.
#   port_session.sh WINE_RUN PORT_DEMO_EXE PEER_EXE WORK_DIR
set -euo pipefail
wine_run=$1 demo=$2 peer=$3 work=$4
mkdir -p "$work"
peer_out=$work/peer.txt host_out=$work/host.txt
: >"$peer_out"

VEMBLARIC_RUN_TIMEOUT=60 "$wine_run" "$peer" 2 19200 "parity=N data=8 stop=2" </dev/null >"$peer_out" 2>&1 &
peer_pid=$!
trap 'kill $peer_pid 2>/dev/null || true' EXIT
for _ in $(seq 300); do
  grep -q listening "$peer_out" && break
  sleep 0.1
done
grep -q listening "$peer_out" || { echo "the peer did not start"; cat "$peer_out"; exit 1; }

status=0
VEMBLARIC_RUN_TIMEOUT=60 "$wine_run" "$demo" COM1 19200 "hello" "bye" </dev/null >"$host_out" 2>&1 || status=$?
wait "$peer_pid" || true

failed=0
[ "$status" = 0 ] || { echo "the host ended with exit code $status"; failed=1; }
for want in 'GetPorts: ' '  COM2' '2 stop bits' 'IsOpen = True; ResolvedPortName = COM1' 'WriteLine "hello"' 'ReadExisting "echo: hello\r\n"' \
            'WriteLine "bye"' 'ReadExisting "quit\r\n"' 'the message loop has ended; IsOpen = False' \
            'WriteLine after Close failed: 0x8000000E' \
            'error object: Vemblaric.SerialPort: WriteLine on COM1: the port is not open.' \
            'Open of COM9 failed: 0x80070002' \
            'error object: Vemblaric.SerialPort: Open on COM9: CreateFile failed: '; do
  if ! tr -d '\r' <"$host_out" | grep -qF "$want"; then
    echo "missing from the host's output: $want"
    failed=1
  fi
done
if [ "$failed" != 0 ]; then
  echo "--- host"; cat "$host_out"; echo "--- peer"; cat "$peer_out"
  exit 1
fi
echo "SerialPort's session: the exchange and both failures as expected"
