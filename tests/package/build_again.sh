#!/usr/bin/env bash
# Two builds of one tree give the same bytes, whenever and wherever they run:
# builds each BUILD's product files again, later, in another folder, from a
# copy of the source, with that build's options and another time zone, and
# compares each file with the first build's. No file may hold the path of
# either tree (narrow or UTF-16). The compiler cache keeps it cheap: the copy
# is laid out as the source is, so the cache, keyed relative to the tree, hits.
#
#   build_again.sh SOURCE_DIR AGAIN_DIR BUILD...
#
# Each second build goes to AGAIN_DIR/source/<its BUILD's place in the tree>,
# so two variants built again sit side by side as tools/package.sh expects;
# the last line of the output is the last one's path.
set -uo pipefail
src=$(cd "${1:?usage: build_again.sh SOURCE_DIR AGAIN_DIR BUILD...}" && pwd)
mkdir -p "${2:?}" && again=$(cd "$2" && pwd) || exit 1
shift 2
copy=$again/source
product=(server/Vemblaric.ocx server/Vemblaric.manifest server/Vemblaric.tlb server/Vemblaric_draft.tlb
         server/SerialPort.tlb server/idl/Vemblaric.h server/idl/Vemblaric_i.c
         serial_port/idl/SerialPort.h serial_port/idl/SerialPort_i.c)

rm -rf "$copy"
mkdir -p "$copy"
# What git would commit now, changes not yet committed included.
git -C "$src" ls-files -z --cached --others --exclude-standard |
  tar -C "$src" --null --ignore-failed-read -T - -cf - | tar -C "$copy" -xf - ||
  { echo "could not copy the source (a git tree) to $copy" >&2; exit 1; }
export CCACHE_BASEDIR=$copy
export TZ=Pacific/Kiritimati  # UTC+14, which no first build is likely to have had

# build_again BUILD: builds it again and compares; prints the second build's path.
build_again() (
  local build=$1 place rebuilt line value key file tree failures=0
  place=$(realpath -m --relative-to="$src" "$build")
  case $place in ..*) place=build/$(basename "$build") ;; esac
  rebuilt=$copy/$place
  # The first build's own choices; the toolchain file is the copy's.
  local options=(-DVEMBLARIC_TESTS=OFF -DVEMBLARIC_X86_BUILD=)
  for key in CMAKE_TOOLCHAIN_FILE CMAKE_BUILD_TYPE CMAKE_C_COMPILER_LAUNCHER CMAKE_CXX_COMPILER_LAUNCHER \
             CMAKE_C_FLAGS CMAKE_CXX_FLAGS CMAKE_RC_FLAGS CMAKE_SHARED_LINKER_FLAGS CMAKE_EXE_LINKER_FLAGS \
             VEMBLARIC_WERROR VEMBLARIC_WIDL; do
    line=$(grep -m 1 "^$key:" "$build/CMakeCache.txt") || continue
    value=${line#*=}
    options+=("-D$key=${value/#"$src"\//$copy/}")
  done
  # The writers run under Wine in the build's prefix: a copy of a booted one,
  # rather than a boot of its own.
  . "$src/tests/support/fresh_prefix.sh" "$build"
  trap prefix_stop_all EXIT
  prefix_create "$rebuilt/wineprefix" || return 1
  { cmake -S "$copy" -B "$rebuilt" "${options[@]}" &&
    cmake --build "$rebuilt" -j2 --target vemblaric_manifest vemblaric_idl vemblaric_serial_port_idl
  } >"$rebuilt.log" 2>&1
  local built=$?
  # A prefix is over a gigabyte; the writers are done with it.
  prefix_stop "$rebuilt/wineprefix"
  rm -rf "$rebuilt/wineprefix"
  if [ "$built" != 0 ]; then
    tail -n 40 "$rebuilt.log" >&2
    echo "FAIL: the second build of $build failed; its log is $rebuilt.log" >&2
    return 1
  fi
  for file in "${product[@]}"; do
    if ! cmp "$build/$file" "$rebuilt/$file" >&2; then
      echo "FAIL: $file differs between $build and $rebuilt" >&2
      failures=$((failures + 1))
    fi
    for tree in "$build" "$rebuilt"; do
      # Without its zero bytes a UTF-16 path reads as a narrow one.
      if tr -d '\000' <"$tree/$file" | grep -qaF -e "$src" -e "$build" -e "$copy" -e "$rebuilt"; then
        echo "FAIL: $tree/$file holds the path of a tree" >&2
        failures=$((failures + 1))
      fi
    done
  done
  echo "$rebuilt"
  [ "$failures" = 0 ] || return 1
  echo "${#product[@]} files of $build the same when built again, none telling where it was built" >&2
)

status=0
for build in "$@"; do
  build_again "$(cd "$build" && pwd)" || status=1
done
exit "$status"
