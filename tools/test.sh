#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds, starts the null-modem
# bench, runs every test program under Wine through ctest, and stops the bench.
# ctest's summary is the last thing printed; the exit code is ctest's.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${VEMBLARIC_BUILD:-$top/build}

bash "$top/tools/setup.sh"
bash "$top/tools/build.sh" "$build" -DVEMBLARIC_WERROR=ON

trap 'bash "$top/tools/bench.sh" stop "$build" >/dev/null 2>&1 || true' EXIT
trap 'exit 130' INT TERM
bash "$top/tools/bench.sh" start "$build"

echo "== tests (under Wine, null-modem bench on COM1-COM4)"
ctest --test-dir "$build" --output-on-failure --timeout 600 -j2 "$@"
