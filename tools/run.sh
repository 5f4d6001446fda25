#!/usr/bin/env bash
# The main job: installs what is missing, builds, starts the null-modem bench,
# and drives the serial layer over it: open COM1 and COM2, show their settings,
# send a text each way, and show the error line after deliberate failures.
# Everything it starts is stopped when it ends.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${VEMBLARIC_BUILD:-$top/build}

bash "$top/tools/setup.sh"
bash "$top/tools/build.sh" "$build"

trap 'bash "$top/tools/bench.sh" stop "$build" >/dev/null 2>&1 || true' EXIT
trap 'exit 130' INT TERM
echo "== starting the null-modem bench (COM1<->COM2, COM3<->COM4 as pty pairs under Wine)"
bash "$top/tools/bench.sh" start "$build"
echo
"$build/wine-run" "$build/demo/port_demo.exe" 1 2
