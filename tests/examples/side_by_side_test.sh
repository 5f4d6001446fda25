#!/usr/bin/env bash
# The 32-bit and the 64-bit Vemblaric.ocx registered side by side in a fresh
# 64-bit prefix, as on 64-bit Windows: each is found by hosts of its own word
# size (the C++ example and the script host of each size), removing either
# leaves the other working, and removing both leaves nothing of the control
# in either registry view. Both orders of removal are taken.
#
#   side_by_side_test.sh X64_BUILD X86_BUILD SOURCE_DIR WORK_DIR
#
# The prefix is the test's own, with its own null-modem pairs
# (tests/support/fresh_prefix.sh), so it shares neither the bench's ports nor
# the build prefix's registry with other tests. Each step reads a view from
# one snapshot.
set -uo pipefail
x64=${1:?usage: side_by_side_test.sh X64_BUILD X86_BUILD SOURCE_DIR WORK_DIR}
x86=${2:?} src=${3:?} work=${4:?}
mkdir -p "$work"
. "$src/tests/support/fresh_prefix.sh" "$x64"
. "$src/tests/support/registry_snapshot.sh"
trap prefix_stop_all EXIT
prefix=$work/prefix

# Programs of the prefix by word size: run64 starts the 64-bit regsvr32, reg,
# cscript and hosts; run32 the 32-bit ones, which see the 32-bit view.
run64() { prefix_run "$prefix" "$@"; }
run32() { prefix_run32 "$prefix" "$@"; }
declare -A run=([64]=run64 [32]=run32) loader=([64]=$VEMBLARIC_WINE [32]=wine)
declare -A ocx=([64]=$x64/server/Vemblaric.ocx [32]=$x86/server/Vemblaric.ocx)
declare -A client=([64]=$x64/examples/vemblaric_cpp_client.exe
                   [32]=$x86/examples/vemblaric_cpp_client.exe)
expect=$src/tests/examples/expect_output.sh
loopback=$(printf 'Z:%s' "$src/examples/serial_loopback.vbs" | tr / '\\')

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
for size in 32 64; do
  for file in "${ocx[$size]}" "${client[$size]}"; do
    [ -f "$file" ] || { echo "missing $file: build both variants (tools/build.sh)" >&2; exit 1; }
  done
done

clsid='{DDC012F8-A786-4584-856D-044BC1F49414}'
libid='{FE4F5263-11D5-4724-95BA-A978983B6369}'
class=HKEY_CLASSES_ROOT\\CLSID\\$clsid
progid=HKEY_CLASSES_ROOT\\Vemblaric.SerialControl
typelib=HKEY_CLASSES_ROOT\\TypeLib\\$libid
shared=("$progid" "$typelib" 'HKEY_CLASSES_ROOT\Interface\{DE2BA9C8-CF2E-41DF-8B64-441C516B64AE}'
        'HKEY_CLASSES_ROOT\Interface\{BC322BD5-6359-47D4-9926-363FE6A11024}')

# KEYS of the view of one word size as they are now, as the snapshot
# NAME-SIZE; to compare a view whole, KEYS is HKEY_CLASSES_ROOT.
take() {
  local name=$1 size=$2
  shift 2
  snapshot "$work/$name-$size" "${run[$size]}" -- "$@" || fail "reg export of $* ($size-bit view, $name)"
}
has() { snapshot_has "$work/$1-$2" "$3"; }
# The file the class key of a view names in a snapshot.
server_of() { snapshot_value "$work/$1-$2" "$class\\InprocServer32"; }
register() {
  "${run[$1]}" regsvr32 /s "$(windows_path "${ocx[$1]}")" || fail "$1-bit regsvr32 answered $?"
}
unregister() {
  "${run[$1]}" regsvr32 /s /u "$(windows_path "${ocx[$1]}")" || fail "$1-bit regsvr32 /u answered $?"
}
printf 'Set control = CreateObject("Vemblaric.SerialControl")\r\nWScript.Echo "created " & control.Version\r\n' \
  >"$work/create.vbs"
create_vbs=$(windows_path "$work/create.vbs")
# Whether a script host of this word size creates the control by name.
creates() {
  "${run[$1]}" cscript.exe //nologo "$create_vbs" </dev/null 2>&1 | tr -d '\r' | grep -qx 'created 1.0'
}
# The C++ example and the loopback script, run by a host of this word size.
drive() {
  local host=(bash "$fresh_launch" "${loader[$1]}")
  WINEPREFIX=$prefix VEMBLARIC_WORD_SIZE=$1 VEMBLARIC_RUN_TIMEOUT=120 bash "$expect" \
    "$src/tests/examples/cpp_client.expected" "${host[@]}" "${client[$1]}" >"$work/client-$1.txt" 2>&1 ||
    { fail "the $1-bit C++ example:"; cat "$work/client-$1.txt" >&2; }
  [ "${2:-}" = client-only ] && return
  WINEPREFIX=$prefix VEMBLARIC_WORD_SIZE=$1 VEMBLARIC_RUN_TIMEOUT=120 bash "$expect" \
    "$src/tests/examples/serial_loopback.expected" "${host[@]}" cscript.exe //nologo "$loopback" \
    >"$work/script-$1.txt" 2>&1 ||
    { fail "the loopback script in the $1-bit script host:"; cat "$work/script-$1.txt" >&2; }
}
# Only the build of this word size is registered, and it works.
only() {
  local size=$1 other=$((96 - $1))
  take only 32 "$class"
  take only 64 "$class" "${shared[@]}"
  [ "$(server_of only "$size")" = "$(windows_path "${ocx[$size]}")" ] ||
    fail "the $size-bit view's class key names '$(server_of only "$size")'"
  has only "$other" "$class" && fail "the $other-bit view still has the class key"
  for key in "${shared[@]}"; do has only 64 "$key" || fail "$key went with the $other-bit control"; done
  has only 64 "$typelib\\14.0\\409\\win$size" || fail "the library lost its win$size entry"
  has only 64 "$typelib\\14.0\\409\\win$other" && fail "the library keeps its win$other entry"
  creates "$size" || fail "a $size-bit script host cannot create the control"
  creates "$other" && fail "a $other-bit script host still creates the control"
  drive "$size" client-only
}
nothing_left() {
  for size in 32 64; do
    take after "$size" HKEY_CLASSES_ROOT
    for key in "$class" "${shared[@]}"; do
      has after "$size" "$key" && fail "$key is left in the $size-bit view ($1)"
    done
    diff -u "$work/before-$size.txt" "$work/after-$size.txt" >"$work/diff.txt" ||
      { fail "the $size-bit view differs from before ($1):"; head -n 40 "$work/diff.txt" >&2; }
  done
}

# Neither registered, as the starting point. Each script host registers its
# own library when it first runs; that happens here, before the registry is
# taken down for comparison.
echo "== a fresh prefix: $prefix"
prefix_create "$prefix" ports || exit 1
creates 32 && fail "a 32-bit script host creates the control before registration"
creates 64 && fail "a 64-bit script host creates the control before registration"
take before 32 HKEY_CLASSES_ROOT
take before 64 HKEY_CLASSES_ROOT

echo "== both registered; each driven by hosts of its own word size"
register 64
register 32
for size in 32 64; do
  take both "$size" "$class"
  [ "$(server_of both "$size")" = "$(windows_path "${ocx[$size]}")" ] ||
    fail "the $size-bit view names '$(server_of both "$size")'"
done
drive 64
drive 32

echo "== the 32-bit control removed first"
unregister 32
only 64
unregister 64
nothing_left "32-bit removed, then 64-bit"

echo "== the 64-bit control removed first"
register 32
register 64
unregister 64
only 32
unregister 32
nothing_left "64-bit removed, then 32-bit"

if [ "$failures" -gt 0 ]; then
  echo "$failures failure(s)" >&2
  exit 1
fi
prefix_stop_all
rm -rf "$prefix"
echo "side by side: both registered and working, each removal leaves the other whole"
