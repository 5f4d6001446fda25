#!/usr/bin/env bash
# Per-user registration through DllInstall, in fresh prefixes:
#  - `regsvr32 /n /i:user` writes under HKEY_CURRENT_USER\Software\Classes the
#    same key set that a machine registration writes under
#    HKEY_LOCAL_MACHINE\Software\Classes, and nothing for the machine;
#  - `/u /n /i:user` takes exactly that away; an unknown argument writes nothing;
#  - `/i` and `/i:machine` register for the machine; the two registrations
#    coexist and removing either leaves the other whole;
#  - the per-user key set, imported as the machine's classes into a second
#    fresh prefix, is all a host needs: the script host and the C++ example
#    create and drive the control there. (Wine does not merge the user's
#    classes into HKEY_CLASSES_ROOT as Windows does, so COM cannot find a
#    per-user registration under Wine itself.)
#
#   per_user_test.sh BUILD_DIR SOURCE_DIR WORK_DIR
#
# The C++ example uses the fresh prefix's own null-modem pair COM1<->COM2.
# Each step reads the registry from one export of the root it checks.
set -uo pipefail
build=${1:?usage: per_user_test.sh BUILD_DIR SOURCE_DIR WORK_DIR}
src=${2:?} work=${3:?}
mkdir -p "$work"
. "$src/tests/support/fresh_prefix.sh" "$build"
. "$src/tests/support/registry_snapshot.sh"
trap prefix_stop_all EXIT

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

ocx=$(windows_path "$build/server/Vemblaric.ocx")
user_root='HKEY_CURRENT_USER\Software\Classes'
machine_root='HKEY_LOCAL_MACHINE\Software\Classes'
keys=('CLSID\{DDC012F8-A786-4584-856D-044BC1F49414}' 'Vemblaric.SerialControl'
      'TypeLib\{FE4F5263-11D5-4724-95BA-A978983B6369}'
      'Interface\{DE2BA9C8-CF2E-41DF-8B64-441C516B64AE}'
      'Interface\{BC322BD5-6359-47D4-9926-363FE6A11024}'
      'CLSID\{10A3CDB8-70E0-4AD5-B7C6-4984AB5E2C2D}' 'Vemblaric.SerialPort' 'Vemblaric.SerialPort.1'
      'TypeLib\{1EFB73A2-C8DA-4C69-84CC-7935DBFCFA78}'
      'Interface\{102EC5D8-287E-41D8-912E-20A11A7C7D47}'
      'Interface\{240D4868-9643-4147-B71E-9ABD104B75BE}'
      'Interface\{0B38B9A4-AD12-4110-94BA-0CE207F03883}'
      'Interface\{8C73AD84-978F-4F57-9395-69EF5E3B7C79}')

# KEYS of the prefix as they are now, as the snapshot NAME.
take() {
  local prefix=$1 name=$2
  shift 2
  snapshot "$work/$name" prefix_run "$prefix" -- "$@" || fail "reg export of $* ($name)"
}
# The control's keys below ROOT as they are now, as the snapshot NAME.
take_keys() {
  local prefix=$1 name=$2 root=$3 key paths=()
  for key in "${keys[@]}"; do paths+=("$root\\$key"); done
  take "$prefix" "$name" "${paths[@]}"
}
# The control's keys below ROOT in the snapshot NAME, one line per key and per
# value, with ROOT taken off, sorted; empty when none is there.
control_keys() {
  local name=$1 root=$2 key
  for key in "${keys[@]}"; do snapshot_tree "$work/$name" "$root\\$key" "$key"; done | sort
}
# A key set as both the platform and registration itself write the library's
# keys: the platform may write the file's path as \\?\Z:\..., and Wine
# writes the flags with the "has a disk image" bit, which is no registration's.
comparable() {
  sed -e 's/|\\\\?\\/|/' -e 's/^\(TypeLib\\.*\\FLAGS|(Default)|REG_SZ|\).*/\1/' "$work/$1.txt" \
    >"$work/$1-comparable.txt"
}
# What a branch holds, as a snapshot for before-and-after comparisons; a
# branch that is absent holds nothing, as does one that is only its empty key.
export_branch() {
  take "$1" "$3" "$2"
  grep -vixF -- "$2" "$work/$3.txt" >"$work/$3.branch"
  mv "$work/$3.branch" "$work/$3.txt"
}
same() {
  diff -u "$work/$1.txt" "$work/$2.txt" >"$work/diff.txt" ||
    { fail "$3:"; head -n 40 "$work/diff.txt" >&2; }
}
regsvr() {
  local prefix=$1 want=$2
  shift 2
  prefix_run "$prefix" regsvr32 /s "$@" "$ocx" >/dev/null 2>&1
  local got=$?
  if [ "$want" = ok ] && [ "$got" != 0 ]; then fail "regsvr32 $* answered $got"; fi
  if [ "$want" = refused ] && [ "$got" = 0 ]; then fail "regsvr32 $* succeeded"; fi
}
printf '%s\r\n' 'Set control = CreateObject("Vemblaric.SerialControl")' \
  'Set port = CreateObject("Vemblaric.SerialPort")' \
  'WScript.Echo "created " & control.Version & " " & port.PortName' >"$work/create.vbs"
creates() {
  prefix_run "$1" cscript.exe //nologo "$(windows_path "$work/create.vbs")" </dev/null 2>&1 |
    tr -d '\r' | grep -qx 'created 1.0 COM1'
}

a=$work/prefix-user
echo "== a fresh prefix: $a"
prefix_create "$a" || exit 1
# The second prefix is made meanwhile; wineboot mostly waits.
b=$work/prefix-import
fresh_prefixes+=("$b")
prefix_create "$b" ports >/dev/null 2>&1 &
b_made=$!
export_branch "$a" HKEY_LOCAL_MACHINE\\Software machine-before
export_branch "$a" "$user_root" user-before

echo "== regsvr32 /n /i:user"
regsvr "$a" ok /n /i:user
take_keys "$a" reg-user "$user_root"
control_keys reg-user "$user_root" >"$work/user-set.txt"
grep -qxF 'CLSID\{DDC012F8-A786-4584-856D-044BC1F49414}\InprocServer32|(Default)|REG_SZ|'"$ocx" \
  "$work/user-set.txt" || fail "the user's class key does not name $ocx"
grep -qxF 'TypeLib\{FE4F5263-11D5-4724-95BA-A978983B6369}\14.0\FLAGS|(Default)|REG_SZ|2' \
  "$work/user-set.txt" || fail "the user's library is not flagged as a control's (2)"
# SerialPort's library is the file's second type library.
grep -qxF 'TypeLib\{1EFB73A2-C8DA-4C69-84CC-7935DBFCFA78}\1.2\0\win'"$VEMBLARIC_WORD_SIZE"'|(Default)|REG_SZ|'"$ocx\\2" \
  "$work/user-set.txt" || fail "the user's SerialPort library does not name $ocx\\2"
grep -qxF 'CLSID\{10A3CDB8-70E0-4AD5-B7C6-4984AB5E2C2D}\InprocServer32|(Default)|REG_SZ|'"$ocx" \
  "$work/user-set.txt" || fail "the user's SerialPort class key does not name $ocx"
comparable user-set
export_branch "$a" HKEY_LOCAL_MACHINE\\Software machine-after-user
same machine-before machine-after-user "a per-user registration wrote for the machine"

echo "== unknown arguments write nothing"
for args in "/n /i:everyone" "/u /n /i:everyone" "/n /i:user,machine"; do
  # shellcheck disable=SC2086
  regsvr "$a" refused $args
done
take_keys "$a" reg-user-again "$user_root"
control_keys reg-user-again "$user_root" >"$work/user-set-again.txt"
same user-set user-set-again "an unknown argument changed the user's registration"
export_branch "$a" HKEY_LOCAL_MACHINE\\Software machine-after-unknown
same machine-before machine-after-unknown "an unknown argument wrote for the machine"

echo "== /n /i:machine writes the same set for the machine; the two coexist"
for args in "/n /i:machine" "/n /i"; do
  # shellcheck disable=SC2086
  regsvr "$a" ok $args
  take_keys "$a" reg-machine "$machine_root"
  control_keys reg-machine "$machine_root" >"$work/machine-set.txt"
  comparable machine-set
  same user-set-comparable machine-set-comparable "the per-user key set differs from $args's"
  # shellcheck disable=SC2086
  regsvr "$a" ok /u $args
  take_keys "$a" reg-machine-removed "$machine_root"
  [ -z "$(control_keys reg-machine-removed "$machine_root")" ] || fail "/u $args left keys for the machine"
done
regsvr "$a" ok
regsvr "$a" ok /u /n /i:user
take_keys "$a" reg-machine-alone "$machine_root"
control_keys reg-machine-alone "$machine_root" >"$work/machine-alone.txt"
comparable machine-alone
same user-set-comparable machine-alone-comparable "removing the user's registration changed the machine's"
creates "$a" || fail "the machine registration no longer works after the user's went"
regsvr "$a" ok /n /i:user
regsvr "$a" ok /u
take_keys "$a" reg-user-alone "$user_root"
control_keys reg-user-alone "$user_root" >"$work/user-alone.txt"
same user-set user-alone "removing the machine's registration changed the user's"

echo "== the per-user key set, as the machine's classes of a second fresh prefix"
for key in "${keys[@]}"; do
  snapshot_sections "$work/reg-user-alone" "$user_root\\$key" | grep -q . ||
    fail "the user's classes have no $key to export"
  snapshot_sections "$work/reg-user-alone" "$user_root\\$key"
done >"$work/imported.txt"
{
  printf 'Windows Registry Editor Version 5.00\n'
  sed 's/^\[HKEY_CURRENT_USER\\Software\\Classes\\/[HKEY_LOCAL_MACHINE\\Software\\Classes\\/' \
    "$work/imported.txt"
} | sed 's/$/\r/' | iconv -f UTF-8 -t UTF-16LE | { printf '\xff\xfe'; cat; } >"$work/as-machine.reg"

wait "$b_made" || { echo "the second prefix could not be made" >&2; exit 1; }
creates "$b" && fail "the second prefix creates the control before the import"
prefix_run "$b" regedit /S "$(windows_path "$work/as-machine.reg")" >/dev/null 2>&1 ||
  fail "regedit could not import the key set"
take_keys "$b" reg-imported "$machine_root"
control_keys reg-imported "$machine_root" >"$work/imported-set.txt"
same user-set imported-set "the imported set is not the per-user set"
creates "$b" || fail "the script host cannot create the control from the imported set"
WINEPREFIX=$b VEMBLARIC_RUN_TIMEOUT=120 VEMBLARIC_WORD_SIZE=$VEMBLARIC_WORD_SIZE \
  bash "$src/tests/examples/expect_output.sh" \
  "$src/tests/examples/cpp_client.expected" \
  bash "$fresh_launch" "$VEMBLARIC_WINE" "$build/examples/vemblaric_cpp_client.exe" >"$work/client.txt" 2>&1 ||
  { fail "the C++ example with the imported set:"; cat "$work/client.txt" >&2; }
prefix_stop "$b"

echo "== /u /n /i:user leaves nothing of the control in either hive"
regsvr "$a" ok /u /n /i:user
export_branch "$a" "$user_root" user-after
take_keys "$a" reg-machine-after "$machine_root"
[ -z "$(control_keys user-after "$user_root")" ] || fail "keys of the control are left under $user_root"
[ -z "$(control_keys reg-machine-after "$machine_root")" ] || fail "keys of the control are left under $machine_root"
# Not even the empty folders CLSID, Interface and TypeLib that installation made.
same user-before user-after "the user's classes differ from before"
regsvr "$a" ok /u /n /i:user  # nothing left to remove is no failure

if [ "$failures" -gt 0 ]; then
  echo "$failures failure(s)" >&2
  exit 1
fi
prefix_stop_all
rm -rf "$a" "$b"
echo "per-user registration: the complete set for the user, nothing for the machine, removed whole"
