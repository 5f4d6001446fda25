#!/usr/bin/env bash
# Configures and builds the cross build into BUILD_DIR; quiet unless it fails.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:?usage: build.sh BUILD_DIR [cmake options]}
shift
mkdir -p "$build"
log=$build/build.log
echo "== building into $build"
if ! { cmake -S "$top" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-i686.cmake" \
         -DCMAKE_BUILD_TYPE=Release "$@" \
       && cmake --build "$build" -j2; } >"$log" 2>&1; then
  tail -n 60 "$log" >&2
  echo "build failed; the whole log is $log" >&2
  exit 1
fi
