#!/usr/bin/env bash
# Configures and builds both variants of the cross build, quiet unless one fails:
#   BUILD_DIR/x86  the 32-bit Vemblaric.ocx and its programs (a 32-bit Wine prefix)
#   BUILD_DIR/x64  the 64-bit Vemblaric.ocx and its programs (a 64-bit Wine prefix),
#                  whose side-by-side tests also use the 32-bit build
# VEMBLARIC_VARIANTS="x86" (or "x64") builds one only. Each log is VARIANT/build.log.
#
#   build.sh BUILD_DIR [cmake options]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
base=${1:?usage: build.sh BUILD_DIR [cmake options]}
shift
mkdir -p "$base"
base=$(cd "$base" && pwd)

for variant in ${VEMBLARIC_VARIANTS:-x86 x64}; do
  build=$base/$variant
  case $variant in
    x86) options=(-DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-i686.cmake") ;;
    x64) options=(-DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-x86_64.cmake"
                  -DVEMBLARIC_X86_BUILD="$base/x86") ;;
    *) echo "build.sh: unknown variant $variant (x86 or x64)" >&2; exit 2 ;;
  esac
  mkdir -p "$build"
  log=$build/build.log
  echo "== building the $variant variant into $build"
  if ! { cmake -S "$top" -B "$build" "${options[@]}" -DCMAKE_BUILD_TYPE=Release "$@" \
         && cmake --build "$build" -j2; } >"$log" 2>&1; then
    tail -n 60 "$log" >&2
    echo "build failed; the whole log is $log" >&2
    exit 1
  fi
done
