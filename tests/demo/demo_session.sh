#!/usr/bin/env bash
# The demo host in a short session against its peer, as the main job runs it:
# the texts go out, the echoes come back as DataArrived, and the host closes
# when the peer says quit.
#   demo_session.sh WINE_RUN DEMO_EXE PEER_EXE WORK_DIR
set -euo pipefail
wine_run=$1 demo=$2 peer=$3 work=$4
mkdir -p "$work"
peer_out=$work/peer.txt host_out=$work/host.txt
: >"$peer_out"

VEMBLARIC_RUN_TIMEOUT=60 "$wine_run" "$peer" 2 57600 </dev/null >"$peer_out" 2>&1 &
peer_pid=$!
trap 'kill $peer_pid 2>/dev/null || true' EXIT
for _ in $(seq 300); do
  grep -q listening "$peer_out" && break
  sleep 0.1
done
grep -q listening "$peer_out" || { echo "the peer did not start"; cat "$peer_out"; exit 1; }

VEMBLARIC_RUN_TIMEOUT=60 "$wine_run" "$demo" 1 57600 "hello" "bye" </dev/null >"$host_out" 2>&1
wait "$peer_pid" || true

failed=0
for want in 'Open_Com (COM1)' 'DataSent    "hello\r\n"' 'DataArrived "echo: hello\r\n"' \
            'DataSent    "bye\r\n"' 'DataArrived "quit\r\n"' 'closing: the peer said quit' \
            'the receive loop has ended'; do
  if ! grep -qF "$want" "$host_out"; then
    echo "missing from the host's output: $want"
    failed=1
  fi
done
# The echo of hello must arrive after hello was sent.
sent=$(grep -nF 'DataSent    "hello' "$host_out" | head -n1 | cut -d: -f1)
echoed=$(grep -nF 'DataArrived "echo: hello' "$host_out" | head -n1 | cut -d: -f1)
if [ -n "$sent" ] && [ -n "$echoed" ] && [ "$echoed" -le "$sent" ]; then
  echo "the echo came before the text was sent"
  failed=1
fi
if [ "$failed" != 0 ]; then
  echo "--- host"; cat "$host_out"; echo "--- peer"; cat "$peer_out"
  exit 1
fi
echo "demo session: 7 lines as expected"
