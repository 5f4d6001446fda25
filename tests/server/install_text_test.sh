#!/usr/bin/env bash
# INSTALL.txt followed as written, on the unpacked release package: its
# command lines are taken from the file itself, block by block (a block is a
# "rem LABEL" line and the command lines under it), and run by cmd in fresh
# prefixes, each line in its own batch file so that its exit code counts.
#  - all users: copy, register, the script examples of both classes in their
#    host, the C++ examples of both built with the MinGW-w64 lines, the
#    names the VBA modules use checked against SerialPort's interface and
#    their macros run in the script host (tests/package/vba_to_vbscript.awk)
#    against a scripted instrument, removal, and the class and the folder are
#    gone;
#  - yourself only: copy, the manifests the registration-free snippet names
#    (Wine has no Microsoft.Windows.ActCtx to run it) and the classes it
#    creates in them, register (the class key names the copied file and
#    nothing is written for the machine), removal, and the user's classes are
#    as before. (Wine does not merge the user's classes, so no host runs.)
# A road takes the lines of one control for one kind of Windows:
#   x64          64-bit Windows, the lines of the x64 control
#   x86_on_x64   64-bit Windows, the lines of the x86 control (32-bit programs)
#   x86          32-bit Windows (the 32-bit build; 32-bit programs)
# Exits 77 (not run) when the road needs 32-bit programs and Wine cannot run
# them here (a kernel without 32-bit emulation).
#
#   install_text_test.sh BUILD_DIR SOURCE_DIR WORK_DIR ROAD
#
# The examples use the fresh prefix's own null-modem pair COM1<->COM2 (the
# macros' test COM3<->COM4 as well).
set -uo pipefail
build=${1:?usage: install_text_test.sh BUILD_DIR SOURCE_DIR WORK_DIR ROAD}
src=${2:?} work=${3:?} road=${4:?}
case $road in
  x64) control=x64 other=x86 windows='64-bit Windows' ;;
  x86_on_x64) control=x86 other=x64 windows='64-bit Windows' ;;
  x86) control=x86 other=x64 windows='32-bit Windows' ;;
  *) echo "unknown road $road" >&2; exit 2 ;;
esac
. "$src/tools/machine.sh"
if [ "$control" = x86 ] && ! machine_runs_32bit; then
  echo "not run: $machine_no_32bit_note"
  exit 77
fi
mkdir -p "$work"
. "$src/tests/support/fresh_prefix.sh" "$build"
trap prefix_stop_all EXIT
# The control's own checks use reg of its word size, and its programs run in
# a host of that size.
check=prefix_run loader=$VEMBLARIC_WINE bits=64
[ "$road" = x86_on_x64 ] && check=prefix_run32 loader=wine
[ "$control" = x86 ] && bits=32

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

echo "== the release package, unpacked"
name=vemblaric-$(head -n 1 "$src/VERSION")
# The road's control alone: the other build may not exist on this machine.
VEMBLARIC_PACKAGE_VARIANTS=$control VEMBLARIC_BUILD=$(dirname "$build") \
  bash "$src/tools/package.sh" "$work/dist" >"$work/package.log" 2>&1 ||
  { cat "$work/package.log" >&2; exit 1; }
rm -rf "$work/unpacked"
mkdir -p "$work/unpacked"
(cd "$work/unpacked" && cmake -E tar xf "$work/dist/$name.zip") || { echo "the zip does not unpack" >&2; exit 1; }
text=$work/unpacked/$name/INSTALL.txt

# The command lines under "rem LABEL" up to the next empty line, those of the
# other control left out; fails when INSTALL.txt has no such block.
block() {
  tr -d '\r' <"$text" | awk -v label="  rem $1" '
    $0 == label { on = 1; next }
    on && /^$/ { exit }
    on { sub(/^  /, ""); print }' | grep -vF "\\$other\\" >"$work/block.txt"
  [ -s "$work/block.txt" ] || { fail "INSTALL.txt has no commands under \"rem $1\""; return 1; }
}
# Runs each line of the block in DIR (a Windows path) as cmd runs it.
run_block() {
  local prefix=$1 dir=$2 label=$3 line
  block "$label" || return
  while IFS= read -r line; do
    printf '@echo off\r\ncd /d "%s"\r\n%s\r\nexit /b %%errorlevel%%\r\n' "$dir" "$line" >"$work/step.bat"
    prefix_run "$prefix" cmd /c "$(windows_path "$work/step.bat")" </dev/null >"$work/step.log" 2>&1 ||
      { fail "\"$line\" (rem $label) answered $?:"; cat "$work/step.log" >&2; }
  done <"$work/block.txt"
}
# The VBA modules as shipped: every SerialPort name they use exists, and the
# macros of SerialPortMacros.bas, made VBScript, run in the script host
# against tests/package/instrument.vbs on COM2 (started first; its "ready"
# says its port is open).
run_macros() {
  local examples=$work/unpacked/$name/examples pkg=$src/tests/package device waited=0
  bash "$pkg/vba_names.sh" "$src/serial_port/SerialPort.idl" "$examples/SerialPortMacros.bas" \
    "$examples/SerialSession.cls" "$text" >"$work/names.log" 2>&1 ||
    { fail "the VBA modules use names SerialPort does not have:"; cat "$work/names.log" >&2; }
  { printf 'Option Explicit\n'
    tr -d '\r' <"$src/serial_port/SerialPort.idl" |
      sed -nE 's/^ *(serial[A-Za-z]+) = (0x)?([0-9A-Fa-f]+).*/Const \1 = \2\3/p' | sed 's/= 0x/= \&H/'
    cat "$pkg/vba_harness.vbs"
    awk -f "$pkg/vba_to_vbscript.awk" "$examples/SerialPortMacros.bas"
    cat "$pkg/macros_driver.vbs"
  } | sed 's/$/\r/' >"$work/macros.vbs"
  : >"$work/instrument.log"
  WINEPREFIX=$machine VEMBLARIC_RUN_TIMEOUT=120 bash "$fresh_launch" "$loader" cscript.exe //nologo \
    "$(windows_path "$pkg/instrument.vbs")" COM2 </dev/null >"$work/instrument.log" 2>&1 &
  device=$!
  until grep -q ready "$work/instrument.log"; do
    if ! kill -0 "$device" 2>/dev/null || [ "$waited" -ge 600 ]; then
      fail "the instrument did not open COM2:"; cat "$work/instrument.log" >&2; return
    fi
    sleep 0.1
    waited=$((waited + 1))
  done
  WINEPREFIX=$machine VEMBLARIC_RUN_TIMEOUT=120 bash "$src/tests/examples/expect_output.sh" \
    "$pkg/macros.expected" bash "$fresh_launch" "$loader" cscript.exe //nologo "$(windows_path "$work/macros.vbs")" \
    >"$work/macros.log" 2>&1 ||
    { fail "the macros of SerialPortMacros.bas:"; cat "$work/macros.log" >&2; }
  wait "$device" || { fail "the instrument failed:"; cat "$work/instrument.log" >&2; }
}
class='CLSID\{DDC012F8-A786-4584-856D-044BC1F49414}'
# The file a class key names; nothing when there is no class key.
classes_of() {
  local out
  out=$("$check" "$1" reg query "$2\\Software\\Classes\\$class\\InprocServer32" /ve 2>/dev/null) &&
    printf '%s\n' "$out" | tr -d '\r' | grep -F REG_SZ
}
# The user's classes as text; an absent key holds nothing, as an empty one.
user_classes() {
  local out
  out=$("$check" "$1" reg query 'HKCU\Software\Classes' /s 2>/dev/null) || out=
  printf '%s\n' "$out" | tr -d '\r' | grep -vxF -e 'HKEY_CURRENT_USER\Software\Classes' -e ''
}

machine=$work/prefix-machine user=$work/prefix-user
prefix_create "$user" >/dev/null 2>&1 &
user_made=$!
fresh_prefixes+=("$user")
echo "== all users, $windows, the $control control: $machine"
prefix_create "$machine" ports || exit 1
installed="$machine/drive_c/Program Files/Vemblaric"
run_block "$machine" "$(windows_path "$work/unpacked")" "copy for all users (a prompt run as administrator)"
[ -f "$installed/$control/Vemblaric.ocx" ] || fail "the copy left no $installed/$control/Vemblaric.ocx"
run_block "$machine" 'C:\' "all users, $windows"
label="script host for the $control Vemblaric.ocx, $windows"
[ "$road" = x86 ] && label="script host, $windows"
if block "$label"; then
  # Each line runs one example; their output, one after the other.
  printf '@echo off\r\ncd /d "C:\\Program Files\\Vemblaric\\examples"\r\n%s\r\n' "$(cat "$work/block.txt")" \
    >"$work/script.bat"
  grep -oE '[a-z_]+\.vbs$' "$work/block.txt" | sed "s/\.vbs\$/.expected/; s|^|$src/tests/examples/|" |
    xargs cat >"$work/script.expected"
  bash "$src/tests/examples/expect_output.sh" "$work/script.expected" \
    env WINEPREFIX="$machine" timeout 120 "$VEMBLARIC_WINE" cmd /c "$(windows_path "$work/script.bat")" \
    >"$work/script.log" 2>&1 || { fail "the script examples:"; cat "$work/script.log" >&2; }
  grep -qx 'serial_port_poll.vbs' <(grep -oE '[a-z_]+\.vbs$' "$work/block.txt") ||
    fail "INSTALL.txt runs no SerialPort script under \"rem $label\""
fi
if block "C++ with MinGW-w64, for the $control Vemblaric.ocx"; then
  rm -rf "$work/cpp" && cp -r "$work/unpacked/$name/examples" "$work/cpp"
  (cd "$work/cpp" && bash "$work/block.txt") >"$work/cpp.log" 2>&1 ||
    { fail "the MinGW-w64 lines did not build the C++ examples:"; cat "$work/cpp.log" >&2; }
  for client in cpp_client serial_port_client; do
    WINEPREFIX=$machine VEMBLARIC_WORD_SIZE=$bits bash "$src/tests/examples/expect_output.sh" \
      "$src/tests/examples/$client.expected" timeout 120 "$loader" "$work/cpp/$client.exe" \
      >"$work/$client.log" 2>&1 || { fail "the C++ example $client as built:"; cat "$work/$client.log" >&2; }
  done
fi
run_macros
run_block "$machine" 'C:\' "remove for all users, $windows"
[ -z "$(classes_of "$machine" HKLM)" ] || fail "the class is still registered"
[ -e "$installed" ] && fail "the folder is still there"
prefix_stop "$machine"

echo "== yourself only, $windows, the $control control: $user"
wait "$user_made" || { echo "the prefix $user could not be made" >&2; exit 1; }
run_block "$user" "$(windows_path "$work/unpacked")" "copy for yourself"
mine=$(find "$user/drive_c/users" -maxdepth 2 -name Vemblaric)
[ -f "$mine/$control/Vemblaric.ocx" ] || fail "the copy left no Vemblaric\\$control\\Vemblaric.ocx in the profile"
# The registration-free snippet: a manifest of each word size, in the copied
# folder, declaring each class the snippet creates.
snippet=$(tr -d '\r' <"$text" | grep -E 'context\.(Manifest|CreateObject)')
[ "$(grep -oE '\\Vemblaric\\x(86|64)\\Vemblaric\.manifest"' <<<"$snippet" | sort -u | wc -l)" = 2 ] ||
  fail "the registration-free snippet does not name the manifest of each word size:"$'\n'"$snippet"
if grep -qF "\\Vemblaric\\$control\\Vemblaric.manifest\"" <<<"$snippet" &&
   [ -f "$mine/$control/Vemblaric.manifest" ]; then
  for progid in Vemblaric.SerialPort Vemblaric.SerialControl; do
    grep -qF "context.CreateObject(\"$progid\")" <<<"$snippet" ||
      fail "the registration-free snippet does not create $progid"
    grep -qE "progid(>|=\")$progid[<\"]" "$mine/$control/Vemblaric.manifest" ||
      fail "$control\\Vemblaric.manifest does not declare $progid"
  done
else
  fail "the registration-free snippet names no $control\\Vemblaric.manifest that the copy has"
fi
user_classes "$user" >"$work/user-before.txt"
run_block "$user" 'C:\' "yourself only, $windows"
classes_of "$user" HKCU | grep -qF "Vemblaric\\$control\\Vemblaric.ocx" ||
  fail "the user's class key does not name the copied file"
[ -z "$(classes_of "$user" HKLM)" ] || fail "a per-user install wrote the machine's class key"
run_block "$user" 'C:\' "remove for yourself, $windows"
user_classes "$user" >"$work/user-after.txt"
diff -u "$work/user-before.txt" "$work/user-after.txt" >&2 || fail "the user's classes differ from before"
[ -e "$mine" ] && fail "the folder is still there"

if [ "$failures" -gt 0 ]; then
  echo "$failures failure(s)" >&2
  exit 1
fi
prefix_stop_all
rm -rf "$machine" "$user"
echo "INSTALL.txt as written, $windows, the $control control: both roads installed, worked and removed"
