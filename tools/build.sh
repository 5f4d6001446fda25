#!/usr/bin/env bash
# Configures and builds both variants of the cross build, quiet unless one fails:
#   BUILD_DIR/x86  the 32-bit Vemblaric.ocx and its programs (a 32-bit Wine prefix)
#   BUILD_DIR/x64  the 64-bit Vemblaric.ocx and its programs (a 64-bit Wine prefix),
#                  whose side-by-side and package tests also use the 32-bit build
# VEMBLARIC_VARIANTS="x86" (or "x64") builds one only. Each log is VARIANT/build.log.
# Warnings are errors here, in the main job and the tests alike, so the two
# commands share one build and neither rebuilds what the other built. ccache,
# when installed (tools/setup.sh), keeps compilations across builds and clones.
#
# The 32-bit build writes its type library with a 32-bit program under Wine
# (writers/). On a machine that runs no 32-bit programs
# (tools/machine.sh) it cannot, so there only the 32-bit product code is
# compiled, with warnings as errors, and the 64-bit build goes without it.
#
#   build.sh BUILD_DIR [cmake options]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
base=${1:?usage: build.sh BUILD_DIR [cmake options]}
shift
mkdir -p "$base"
base=$(cd "$base" && pwd)
. "$top/tools/machine.sh"

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
export CCACHE_BASEDIR=$top

x86_whole=0
if machine_runs_32bit; then x86_whole=1; fi
for variant in ${VEMBLARIC_VARIANTS:-x86 x64}; do
  build=$base/$variant
  targets=()
  case $variant in
    x86) options=(-DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-i686.cmake")
         [ "$x86_whole" = 1 ] || targets=(--target vemblaric_port vemblaric_control vemblaric_com
                                                       vemblaric_control_object vemblaric_install
                                                       vemblaric_serial_port vemblaric_classes) ;;
    x64) options=(-DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-x86_64.cmake")
         if [ "$x86_whole" = 1 ]; then
           options+=(-DVEMBLARIC_X86_BUILD="$base/x86")
         else
           options+=(-DVEMBLARIC_X86_BUILD=)
         fi ;;
    *) echo "build.sh: unknown variant $variant (x86 or x64)" >&2; exit 2 ;;
  esac
  mkdir -p "$build"
  log=$build/build.log
  if [ ${#targets[@]} -gt 0 ]; then
    echo "== compiling the $variant variant's product code into $build; $machine_no_32bit_note"
  else
    echo "== building the $variant variant into $build"
  fi
  if ! { cmake -S "$top" -B "$build" "${options[@]}" "${launcher[@]}" -DCMAKE_BUILD_TYPE=Release \
           -DVEMBLARIC_WERROR=ON "$@" \
         && cmake --build "$build" -j2 "${targets[@]}"; } >"$log" 2>&1; then
    tail -n 60 "$log" >&2
    echo "build failed; the whole log is $log" >&2
    exit 1
  fi
done
