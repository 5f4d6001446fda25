#!/usr/bin/env bash
# Registration of Vemblaric.ocx as the registry shows it: regsvr32 writes,
# for the control and for SerialPort, the class, the programmatic
# identifiers, the type library (SerialPort's is the file's second) and its
# two interfaces; regsvr32 /u takes exactly that away again; and nothing ever
# marks either class safe for scripting or for initialisation.
#
#   registration_test.sh WINE_RUN OCX WORK_DIR
#
# Runs on the build machine and drives Wine's regsvr32 and reg through the
# build's wine-run wrapper; each step reads the registry from one snapshot
# (tests/support/registry_snapshot.sh): the control's keys, or the whole of
# HKEY_CLASSES_ROOT where it is compared whole. It leaves the registration as
# it found it.
set -uo pipefail

run=${1:?usage: registration_test.sh WINE_RUN OCX WORK_DIR}
ocx=${2:?}
work=${3:?}
mkdir -p "$work"
. "$(dirname "$0")/../support/registry_snapshot.sh"
# The build's word size names its entry of the type library: win32 or win64.
# The prefix's kind says how many registry views there are: a win32 prefix,
# as 32-bit Windows, has one; a win64 prefix has a second for the other word
# size's build.
read -r platform views < <(. "$(dirname "$run")/wine-env" &&
  echo "win$VEMBLARIC_WORD_SIZE $([ "$WINEARCH" = win32 ] && echo 1 || echo 2)")

path=$(windows_path "$ocx")

clsid='{DDC012F8-A786-4584-856D-044BC1F49414}'
libid='{FE4F5263-11D5-4724-95BA-A978983B6369}'
iid='{DE2BA9C8-CF2E-41DF-8B64-441C516B64AE}'
srciid='{BC322BD5-6359-47D4-9926-363FE6A11024}'
# Dual interfaces go through the automation proxy, dispinterfaces through
# the dispatch proxy.
automation_proxy='{00020424-0000-0000-C000-000000000046}'
dispatch_proxy='{00020420-0000-0000-C000-000000000046}'
sp_clsid='{10A3CDB8-70E0-4AD5-B7C6-4984AB5E2C2D}'
sp_libid='{1EFB73A2-C8DA-4C69-84CC-7935DBFCFA78}'
sp_iid='{102EC5D8-287E-41D8-912E-20A11A7C7D47}'
sp_srciid='{240D4868-9643-4147-B71E-9ABD104B75BE}'
sp_infos_iid='{0B38B9A4-AD12-4110-94BA-0CE207F03883}'
sp_info_iid='{8C73AD84-978F-4F57-9395-69EF5E3B7C79}'
safe_for_scripting='7DD95801-9882-11CF-9FA9-00AA006C42C4'
safe_for_initialising='7DD95802-9882-11CF-9FA9-00AA006C42C4'

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# The control's keys (or KEYS: HKEY_CLASSES_ROOT to compare it whole) as
# they are now, as the snapshot NAME.
take() {
  local name=$1
  shift
  [ "$#" -gt 0 ] || set -- "${all[@]}"
  snapshot "$work/$name" "$run" -- "$@" || fail "reg export of $* ($name)"
}
has() { snapshot_has "$work/$1" "$2"; }

# A key and everything below it in the snapshot NAME, against what it should
# hold, one line per key and per value ("key|name|type|data").
expect_dump() {
  local name=$1 key=$2 expected=$work/expected.txt actual=$work/actual.txt
  sort >"$expected"
  snapshot_tree "$work/$name" "$key" >"$actual"
  if ! diff -u "$expected" "$actual" >"$work/diff.txt"; then
    fail "$key is not as registration should leave it:"
    cat "$work/diff.txt" >&2
  fi
}

class=HKEY_CLASSES_ROOT\\CLSID\\$clsid
progid=HKEY_CLASSES_ROOT\\Vemblaric.SerialControl
typelib=HKEY_CLASSES_ROOT\\TypeLib\\$libid
interface=HKEY_CLASSES_ROOT\\Interface\\$iid
source=HKEY_CLASSES_ROOT\\Interface\\$srciid
sp_class=HKEY_CLASSES_ROOT\\CLSID\\$sp_clsid
sp_progid=HKEY_CLASSES_ROOT\\Vemblaric.SerialPort
sp_versioned=HKEY_CLASSES_ROOT\\Vemblaric.SerialPort.1
sp_typelib=HKEY_CLASSES_ROOT\\TypeLib\\$sp_libid
sp_interface=HKEY_CLASSES_ROOT\\Interface\\$sp_iid
sp_source=HKEY_CLASSES_ROOT\\Interface\\$sp_srciid
sp_infos=HKEY_CLASSES_ROOT\\Interface\\$sp_infos_iid
sp_info=HKEY_CLASSES_ROOT\\Interface\\$sp_info_iid
all=("$class" "$progid" "$typelib" "$interface" "$source"
     "$sp_class" "$sp_progid" "$sp_versioned" "$sp_typelib" "$sp_interface" "$sp_source"
     "$sp_infos" "$sp_info")

was_registered=0
"$run" reg query "$class" >/dev/null 2>&1 && was_registered=1
"$run" regsvr32 /s /u "$path" >/dev/null 2>&1
take before HKEY_CLASSES_ROOT
for key in "${all[@]}"; do
  has before "$key" && fail "$key is still there before registration"
done
# SerialPort's library of an earlier version registered from this file (an
# older file replaced by this one and registered again) goes with the removal.
"$run" regsvr32 /s "$path" || fail "regsvr32 /s answered $?"
"$run" reg add "$sp_typelib\\1.0\\0\\$platform" /ve /d "$path\\2" /f >/dev/null 2>&1 ||
  fail "reg add $sp_typelib\\1.0"
"$run" regsvr32 /s /u "$path" || fail "regsvr32 /s /u answered $?"
take stale "$sp_typelib"
has stale "$sp_typelib" && fail "the removal left $sp_typelib, whose 1.0 entry named this file"
take before HKEY_CLASSES_ROOT

# --- Registration ---------------------------------------------------------------
"$run" regsvr32 /s "$path" || fail "regsvr32 /s answered $?"
take registered HKEY_CLASSES_ROOT

expect_dump registered "$class" <<EOF
$class
$class|(Default)|REG_SZ|Vemblaric.SerialControl
$class\\Control
$class\\Control|(Default)|REG_SZ|
$class\\InprocServer32
$class\\InprocServer32|(Default)|REG_SZ|$path
$class\\InprocServer32|ThreadingModel|REG_SZ|Apartment
$class\\MiscStatus
$class\\MiscStatus|(Default)|REG_SZ|0
$class\\MiscStatus\\1
$class\\MiscStatus\\1|(Default)|REG_SZ|132497
$class\\ProgID
$class\\ProgID|(Default)|REG_SZ|Vemblaric.SerialControl
$class\\ToolboxBitmap32
$class\\ToolboxBitmap32|(Default)|REG_SZ|$path, 30000
$class\\TypeLib
$class\\TypeLib|(Default)|REG_SZ|$libid
$class\\Version
$class\\Version|(Default)|REG_SZ|20.0
EOF

expect_dump registered "$progid" <<EOF
$progid
$progid|(Default)|REG_SZ|Vemblaric.SerialControl
$progid\\CLSID
$progid\\CLSID|(Default)|REG_SZ|$clsid
EOF

# The library registers under its version in hex (20.0 is 14.0), with the
# path of the file it was loaded from.
snapshot_tree "$work/registered" "$typelib" >"$work/typelib.txt"
grep -qxF "$typelib\\14.0|(Default)|REG_SZ|Vemblaric" "$work/typelib.txt" ||
  fail "no $typelib\\14.0 named Vemblaric"
grep -F "$typelib\\14.0\\409\\$platform|(Default)|REG_SZ|" "$work/typelib.txt" | grep -qF "$path" ||
  fail "$typelib\\14.0\\409\\$platform does not name $path"
[ "$(grep -c '\\409\\win..|' "$work/typelib.txt")" = 1 ] || fail "the library names another platform too"

# SerialPort: no control, so nothing for containers; programmatic identifiers
# with and without the version.
expect_dump registered "$sp_class" <<EOF
$sp_class
$sp_class|(Default)|REG_SZ|Vemblaric Serial Port
$sp_class\\InprocServer32
$sp_class\\InprocServer32|(Default)|REG_SZ|$path
$sp_class\\InprocServer32|ThreadingModel|REG_SZ|Apartment
$sp_class\\ProgID
$sp_class\\ProgID|(Default)|REG_SZ|Vemblaric.SerialPort.1
$sp_class\\TypeLib
$sp_class\\TypeLib|(Default)|REG_SZ|$sp_libid
$sp_class\\Version
$sp_class\\Version|(Default)|REG_SZ|1.2
$sp_class\\VersionIndependentProgID
$sp_class\\VersionIndependentProgID|(Default)|REG_SZ|Vemblaric.SerialPort
EOF
expect_dump registered "$sp_progid" <<EOF
$sp_progid
$sp_progid|(Default)|REG_SZ|Vemblaric Serial Port
$sp_progid\\CLSID
$sp_progid\\CLSID|(Default)|REG_SZ|$sp_clsid
$sp_progid\\CurVer
$sp_progid\\CurVer|(Default)|REG_SZ|Vemblaric.SerialPort.1
EOF
expect_dump registered "$sp_versioned" <<EOF
$sp_versioned
$sp_versioned|(Default)|REG_SZ|Vemblaric Serial Port
$sp_versioned\\CLSID
$sp_versioned\\CLSID|(Default)|REG_SZ|$sp_clsid
EOF

# SerialPort's library is the file's second: its entry names the file and
# the resource, and it is no control's library.
snapshot_tree "$work/registered" "$sp_typelib" >"$work/sp_typelib.txt"
grep -qxF "$sp_typelib\\1.2|(Default)|REG_SZ|Vemblaric Serial Port" "$work/sp_typelib.txt" ||
  fail "no $sp_typelib\\1.2 named Vemblaric Serial Port"
grep -F "$sp_typelib\\1.2\\0\\$platform|(Default)|REG_SZ|" "$work/sp_typelib.txt" |
  grep -qF "$path\\2" || fail "$sp_typelib\\1.2\\0\\$platform does not name $path\\2"
# (The platform may add the disk-image flag, 8.)
flags=$(sed -n 's/^.*\\1\.2\\FLAGS|(Default)|REG_SZ|//p' "$work/sp_typelib.txt")
[ -n "$flags" ] && [ $((flags & 7)) = 0 ] || fail "SerialPort's library has the flags '$flags'"

for entry in "$interface _SerialControl $automation_proxy $libid 14.0" \
             "$source __SerialControl $dispatch_proxy $libid 14.0" \
             "$sp_interface ISerialPort $automation_proxy $sp_libid 1.2" \
             "$sp_source ISerialPortEvents $dispatch_proxy $sp_libid 1.2" \
             "$sp_infos ISerialPortInfos $automation_proxy $sp_libid 1.2" \
             "$sp_info ISerialPortInfo $automation_proxy $sp_libid 1.2"; do
  read -r key name proxy lib version <<<"$entry"
  expect_dump registered "$key" <<EOF
$key
$key|(Default)|REG_SZ|$name
$key\\ProxyStubClsid
$key\\ProxyStubClsid|(Default)|REG_SZ|$proxy
$key\\ProxyStubClsid32
$key\\ProxyStubClsid32|(Default)|REG_SZ|$proxy
$key\\TypeLib
$key\\TypeLib|(Default)|REG_SZ|$lib
$key\\TypeLib|Version|REG_SZ|$version
EOF
done

# Never safe for scripting or initialising: no categories under the class,
# and no new mention of either category anywhere in HKEY_CLASSES_ROOT.
for key in "$class" "$sp_class"; do
  has registered "$key\\Implemented Categories" && fail "$key has Implemented Categories"
done
for category in "$safe_for_scripting" "$safe_for_initialising"; do
  b=$(grep -ci "$category" "$work/before.export")
  r=$(grep -ci "$category" "$work/registered.export")
  [ "$r" -le "$b" ] || fail "registration added $((r - b)) mention(s) of category $category"
done
for id in "$clsid" "$sp_clsid"; do
  grep -qi "$id" "$work/registered.export" || fail "the export after registration lacks the class $id"
done

# --- Removal ----------------------------------------------------------------------
"$run" regsvr32 /s /u "$path" || fail "regsvr32 /s /u answered $?"
take removed HKEY_CLASSES_ROOT
for key in "${all[@]}"; do
  has removed "$key" && fail "$key is still there after removal"
done
if ! diff -u "$work/before.txt" "$work/removed.txt" >"$work/diff.txt"; then
  fail "HKEY_CLASSES_ROOT after removal differs from before registration:"
  head -n 60 "$work/diff.txt" >&2
fi

# A second removal finds nothing to remove and still succeeds.
"$run" regsvr32 /s /u "$path" || fail "a second regsvr32 /s /u answered $?"

# A removal that fails part-way says so and leaves the control registered, so
# that a second one, once the fault is mended, removes all of it. The fault:
# the library's entry names a file that holds no type library.
"$run" regsvr32 /s "$path" || fail "registering again answered $?"
entry=$typelib\\14.0\\409\\$platform
"$run" reg add "$entry" /ve /d 'Z:\nonexistent.tlb' /f >/dev/null 2>&1 || fail "reg add $entry"
"$run" regsvr32 /s /u "$path" && fail "a removal that could not remove the library answered success"
take failed
for key in "$class" "$progid" "$sp_class" "$sp_progid"; do
  has failed "$key" || fail "the failed removal took $key away"
done
"$run" reg add "$entry" /ve /d "$path" /f >/dev/null 2>&1 || fail "reg add $entry"
"$run" regsvr32 /s /u "$path" || fail "the removal after the failed one answered $?"
take mended
for key in "${all[@]}"; do
  has mended "$key" && fail "$key is still there after the second removal"
done

# Beside a class key of the other word size's build naming another file,
# removal keeps the shared keys; the library's version key goes with the last
# platform's entry in it. With one registry view there is no other build: the
# flag for the other view opens the control's own class key, so one naming
# another file is no other build's, and removal takes everything.
"$run" regsvr32 /s "$path" || fail "registering beside the other build answered $?"
if [ "$views" = 2 ]; then
  other=/reg:$((96 - ${platform#win}))
  "$run" reg add "$class\\InprocServer32" /ve /d 'C:\other.ocx' "$other" /f >/dev/null 2>&1 ||
    fail "reg add $other"
  "$run" regsvr32 /s /u "$path" || fail "removal beside the other build answered $?"
  take beside
  for key in "$class" "$typelib" "$sp_class" "$sp_typelib"; do
    has beside "$key" && fail "removal beside the other build left $key"
  done
  for key in "$progid" "$interface" "$source" "$sp_progid" "$sp_versioned" "$sp_interface" "$sp_source" \
             "$sp_infos" "$sp_info"; do
    has beside "$key" || fail "removal beside the other build took $key"
  done
  "$run" reg delete "$class" "$other" /f >/dev/null 2>&1 || fail "reg delete $other"
  "$run" regsvr32 /s /u "$path" || fail "removal after the other build went answered $?"
else
  "$run" reg add "$class\\InprocServer32" /ve /d 'C:\other.ocx' /f >/dev/null 2>&1 ||
    fail "reg add $class\\InprocServer32"
  "$run" regsvr32 /s /u "$path" || fail "removal with one registry view answered $?"
  take beside
  for key in "${all[@]}"; do
    has beside "$key" && fail "removal with one registry view left $key"
  done
fi

# From a folder whose path is longer than MAX_PATH, for the machine and for the
# user (whose classes the word sizes share under Wine, so removal reads its own
# long path there), removal leaves nothing behind. (Wine's loader cannot read
# the library there, so registration may fail and take itself back.)
long=$work/$(printf 'a%.0s' {1..100})/$(printf 'b%.0s' {1..100})/$(printf 'c%.0s' {1..80})
mkdir -p "$long" && cp "$ocx" "$long/"
for scope in "" "/n /i:user"; do
  # shellcheck disable=SC2086
  "$run" regsvr32 /s $scope "$(windows_path "$long/Vemblaric.ocx")"
  # shellcheck disable=SC2086
  "$run" regsvr32 /s /u $scope "$(windows_path "$long/Vemblaric.ocx")" || fail "removal $scope from $long answered $?"
done
take user-long-removed 'HKEY_CURRENT_USER\Software\Classes'
for key in "${all[@]}"; do
  has user-long-removed "HKEY_CURRENT_USER\\Software\\Classes${key#HKEY_CLASSES_ROOT}" &&
    fail "the user's ${key#HKEY_CLASSES_ROOT\\} is left"
done
take long-removed HKEY_CLASSES_ROOT
diff -u "$work/before.txt" "$work/long-removed.txt" >"$work/diff.txt" ||
  { fail "HKEY_CLASSES_ROOT after removal from $long differs from before:"; head -n 40 "$work/diff.txt" >&2; }

if [ "$was_registered" = 1 ]; then
  "$run" regsvr32 /s "$path" || fail "registering again as found answered $?"
fi

if [ "$failures" -gt 0 ]; then
  echo "$failures failure(s)" >&2
  exit 1
fi
echo "registration and removal as expected"
