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
set -uo pipefail
build=${1:?usage: per_user_test.sh BUILD_DIR SOURCE_DIR WORK_DIR}
src=${2:?} work=${3:?}
mkdir -p "$work"
. "$src/tests/support/fresh_prefix.sh" "$build"
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

# The control's keys below ROOT, one line per key and per value, with ROOT
# taken off, sorted; empty when none is there.
control_keys() {
  local prefix=$1 root=$2 key
  for key in "${keys[@]}"; do
    prefix_run "$prefix" reg query "$root\\$key" /s 2>/dev/null | tr -d '\r' | awk -v root="$root\\" '
      /^HKEY_/ { key = substr($0, length(root) + 1); print key; next }
      /^    / { sub(/^    /, ""); split($0, f, /    /); print key "|" f[1] "|" f[2] "|" f[3] }'
  done | sort
}
# A key set as both the platform and registration itself write the library's
# keys: the platform may write the file's path as \\?\Z:\..., and Wine
# writes the flags with the "has a disk image" bit, which is no registration's.
comparable() {
  sed -e 's/|\\\\?\\/|/' -e 's/^\(TypeLib\\.*\\FLAGS|(Default)|REG_SZ|\).*/\1/' "$work/$1.txt" \
    >"$work/$1-comparable.txt"
}
# What a branch holds, as text, for before-and-after comparisons; a branch
# that is absent holds nothing, as does one that is only its empty key.
export_branch() {
  local prefix=$1 branch=$2 file=$work/$3
  rm -f "$file.reg"
  : >"$file.txt"
  prefix_run "$prefix" reg query "$branch" >/dev/null 2>&1 || return 0
  prefix_run "$prefix" reg export "$branch" "$(windows_path "$file.reg")" /y >/dev/null 2>&1 ||
    { fail "reg export $branch"; return; }
  iconv -f UTF-16LE -t UTF-8 "$file.reg" | tr -d '\r' | sed '1s/^\xEF\xBB\xBF//' |
    grep -vxF -e 'Windows Registry Editor Version 5.00' -e "[$branch]" -e '' >"$file.txt"
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
control_keys "$a" "$user_root" >"$work/user-set.txt"
grep -qxF 'CLSID\{DDC012F8-A786-4584-856D-044BC1F49414}\InprocServer32|(Default)|REG_SZ|'"$ocx" \
  "$work/user-set.txt" || fail "the user's class key does not name $ocx"
grep -qxF 'TypeLib\{FE4F5263-11D5-4724-95BA-A978983B6369}\14.0\FLAGS|(Default)|REG_SZ|2' \
  "$work/user-set.txt" || fail "the user's library is not flagged as a control's (2)"
# SerialPort's library is the file's second type library.
grep -qxF 'TypeLib\{1EFB73A2-C8DA-4C69-84CC-7935DBFCFA78}\1.1\0\win'"$VEMBLARIC_WORD_SIZE"'|(Default)|REG_SZ|'"$ocx\\2" \
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
control_keys "$a" "$user_root" >"$work/user-set-again.txt"
same user-set user-set-again "an unknown argument changed the user's registration"
export_branch "$a" HKEY_LOCAL_MACHINE\\Software machine-after-unknown
same machine-before machine-after-unknown "an unknown argument wrote for the machine"

echo "== /n /i:machine writes the same set for the machine; the two coexist"
for args in "/n /i:machine" "/n /i"; do
  # shellcheck disable=SC2086
  regsvr "$a" ok $args
  control_keys "$a" "$machine_root" >"$work/machine-set.txt"
  comparable machine-set
  same user-set-comparable machine-set-comparable "the per-user key set differs from $args's"
  # shellcheck disable=SC2086
  regsvr "$a" ok /u $args
  [ -z "$(control_keys "$a" "$machine_root")" ] || fail "/u $args left keys for the machine"
done
regsvr "$a" ok
regsvr "$a" ok /u /n /i:user
control_keys "$a" "$machine_root" >"$work/machine-alone.txt"
comparable machine-alone
same user-set-comparable machine-alone-comparable "removing the user's registration changed the machine's"
creates "$a" || fail "the machine registration no longer works after the user's went"
regsvr "$a" ok /n /i:user
regsvr "$a" ok /u
control_keys "$a" "$user_root" >"$work/user-alone.txt"
same user-set user-alone "removing the machine's registration changed the user's"

echo "== the per-user key set, as the machine's classes of a second fresh prefix"
: >"$work/imported.txt"
for key in "${keys[@]}"; do
  file=$work/key.reg
  rm -f "$file"
  prefix_run "$a" reg export "$user_root\\$key" "$(windows_path "$file")" /y >/dev/null 2>&1 ||
    fail "reg export $user_root\\$key"
  iconv -f UTF-16LE -t UTF-8 "$file" | tr -d '\r' | sed '1s/^\xEF\xBB\xBF//' |
    sed '/^Windows Registry Editor/d' >>"$work/imported.txt"
done
{
  printf 'Windows Registry Editor Version 5.00\n'
  sed 's/^\[HKEY_CURRENT_USER\\Software\\Classes\\/[HKEY_LOCAL_MACHINE\\Software\\Classes\\/' \
    "$work/imported.txt"
} | sed 's/$/\r/' | iconv -f UTF-8 -t UTF-16LE | { printf '\xff\xfe'; cat; } >"$work/as-machine.reg"

wait "$b_made" || { echo "the second prefix could not be made" >&2; exit 1; }
creates "$b" && fail "the second prefix creates the control before the import"
prefix_run "$b" regedit /S "$(windows_path "$work/as-machine.reg")" >/dev/null 2>&1 ||
  fail "regedit could not import the key set"
control_keys "$b" "$machine_root" >"$work/imported-set.txt"
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
for root in "$user_root" "$machine_root"; do
  [ -z "$(control_keys "$a" "$root")" ] || fail "keys of the control are left under $root"
done
# Not even the empty folders CLSID, Interface and TypeLib that installation made.
export_branch "$a" "$user_root" user-after
same user-before user-after "the user's classes differ from before"
regsvr "$a" ok /u /n /i:user  # nothing left to remove is no failure

if [ "$failures" -gt 0 ]; then
  echo "$failures failure(s)" >&2
  exit 1
fi
prefix_stop_all
rm -rf "$a" "$b"
echo "per-user registration: the complete set for the user, nothing for the machine, removed whole"
