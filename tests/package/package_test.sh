#!/usr/bin/env bash
# The release package as a user gets it: both variants built again, later, in
# another folder (build_again.sh), give the same files, and their package the
# same bytes, none telling where the tree was; the zip holds exactly the files
# INSTALL.txt speaks of, every file it names among them, each matching its
# line in SHA256SUMS; and the unpacked x86\Vemblaric.ocx, registered with
# regsvr32 in a fresh 32-bit prefix, runs the unpacked VBScript example over
# the cable and is removed again with regsvr32 /u.
#
#   package_test.sh X64_BUILD X86_BUILD SOURCE_DIR WORK_DIR
#
# The example runs over the fresh prefix's own null-modem pair COM1<->COM2.
set -uo pipefail
x64=${1:?usage: package_test.sh X64_BUILD X86_BUILD SOURCE_DIR WORK_DIR}
x86=${2:?} src=${3:?} work=${4:?}
mkdir -p "$work"
base=$(dirname "$x86")
[ "$(dirname "$x64")" = "$base" ] || { echo "the two builds are not in one folder" >&2; exit 1; }
. "$src/tests/support/fresh_prefix.sh" "$x86"
trap prefix_stop_all EXIT

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

version=$(head -n 1 "$src/VERSION")
name=vemblaric-$version
package() {  # package BUILDS_FOLDER RUN [environment...]
  rm -rf "${work:?}/$2"
  env VEMBLARIC_BUILD="$1" "${@:3}" bash "$src/tools/package.sh" "$work/$2" >"$work/$2.log" 2>&1 ||
    { cat "$work/$2.log" >&2; echo "tools/package.sh failed" >&2; exit 1; }
}
package "$base" one
zip=$work/one/$name.zip
[ -f "$zip" ] || { echo "no $name.zip" >&2; exit 1; }
echo "== both variants built again"
if bash "$src/tests/package/build_again.sh" "$src" "$work/again" "$x86" "$x64" >"$work/again.txt"; then
  package "$(dirname "$(tail -n 1 "$work/again.txt")")" two TZ=Pacific/Kiritimati
  cmp "$zip" "$work/two/$name.zip" || fail "the second builds' package differs from the first's"
else
  fail "the second builds differ from the first"
fi

echo "== unpacked"
rm -rf "$work/unpacked"
mkdir -p "$work/unpacked"
(cd "$work/unpacked" && cmake -E tar xf "$zip") || fail "the zip does not unpack"
root=$work/unpacked/$name
(cd "$root" && find . -type f | sed 's|^\./||' | LC_ALL=C sort) >"$work/files.txt"
cat "$work/files.txt"
diff -u - "$work/files.txt" >&2 <<EOF || fail "the package does not hold exactly these files"
INSTALL.txt
SHA256SUMS
examples/MyProgram.exe.manifest
examples/SerialPort.h
examples/SerialPortMacros.bas
examples/SerialPort_i.c
examples/SerialSession.cls
examples/Vemblaric.h
examples/Vemblaric_i.c
examples/cpp_client.cpp
examples/remote_device.vbs
examples/serial_loopback.vbs
examples/serial_port_client.cpp
examples/serial_port_poll.vbs
x64/Vemblaric.manifest
x64/Vemblaric.ocx
x86/Vemblaric.manifest
x86/Vemblaric.ocx
EOF
# Every file INSTALL.txt names, by its path in the package or by its name
# alone, is in it.
tr -d '\r' <"$root/INSTALL.txt" | grep -oE '(x86|x64|examples)\\[A-Za-z0-9_.]*[A-Za-z0-9_]' | tr '\\' / | sort -u |
  while read -r named; do
    grep -qxF "$named" "$work/files.txt" || echo "$named"
  done >"$work/missing.txt"
tr -d '\r' <"$root/INSTALL.txt" | grep -oE '[A-Za-z0-9_.]+\.(vbs|cpp|c|h|bas|cls|manifest|ocx|txt)\b' |
  sort -u | while read -r named; do
    grep -qE "(^|/)${named//./\\.}$" "$work/files.txt" || echo "$named"
  done >>"$work/missing.txt"
[ -s "$work/missing.txt" ] && fail "INSTALL.txt names files the package does not hold: $(tr '\n' ' ' <"$work/missing.txt")"
# The application manifest INSTALL.txt shows is the file it says holds it,
# with the assembly version of the built manifests.
tr -d '\r' <"$root/INSTALL.txt" | sed -n '/^  <?xml/,/^  <\/assembly>/s/^  //p' |
  diff - <(tr -d '\r' <"$root/examples/MyProgram.exe.manifest") >&2 ||
  fail "INSTALL.txt's application manifest is not examples/MyProgram.exe.manifest"
assembly_version=$(sed -n 's/.*<assemblyIdentity [^>]*name="Vemblaric" version="\([0-9.]*\)".*/\1/p' \
                     "$root/x86/Vemblaric.manifest")
grep -qF "name=\"Vemblaric\" version=\"$assembly_version\"" "$root/examples/MyProgram.exe.manifest" ||
  fail "the application manifest does not name Vemblaric $assembly_version"
(cd "$root" && sha256sum --quiet -c SHA256SUMS) || fail "a file does not match SHA256SUMS"
[ "$(grep -cv SHA256SUMS "$work/files.txt")" = "$(wc -l <"$root/SHA256SUMS")" ] ||
  fail "SHA256SUMS does not list every other file"
for variant in x86 x64; do
  cmp "$root/$variant/Vemblaric.ocx" "$base/$variant/server/Vemblaric.ocx" ||
    fail "$variant/Vemblaric.ocx is not the built one"
done
grep -q "^Vemblaric $version - " "$root/INSTALL.txt" || fail "INSTALL.txt does not name version $version"
grep -rlI '@[A-Z_]*@' "$root" && fail "a placeholder is left in the package"
grep -rlaF -e "$src" -e "$base" "$root" && fail "the package tells where the tree was"
[ "$(grep -c $'\r$' "$root/INSTALL.txt")" = "$(wc -l <"$root/INSTALL.txt")" ] ||
  fail "INSTALL.txt does not end every line with CR LF"

echo "== the unpacked x86 control in a fresh 32-bit prefix"
prefix=$work/prefix
prefix_create "$prefix" ports || exit 1
ocx=$(windows_path "$root/x86/Vemblaric.ocx")
class='HKCR\CLSID\{DDC012F8-A786-4584-856D-044BC1F49414}\InprocServer32'
prefix_run "$prefix" regsvr32 /s "$ocx" || fail "regsvr32 of the unpacked control answered $?"
prefix_run "$prefix" reg query "$class" /ve 2>/dev/null | tr -d '\r' | grep -qF "$ocx" ||
  fail "the class is not registered to the unpacked file"
VEMBLARIC_WORD_SIZE=32 bash "$src/tests/examples/expect_output.sh" \
  "$src/tests/examples/serial_loopback.expected" \
  env WINEPREFIX="$prefix" VEMBLARIC_RUN_TIMEOUT=120 bash "$fresh_launch" wine cscript.exe //nologo \
  "$(windows_path "$root/examples/serial_loopback.vbs")" >"$work/loopback.txt" 2>&1 ||
  { fail "the unpacked example with the unpacked control:"; cat "$work/loopback.txt" >&2; }
prefix_run "$prefix" regsvr32 /s /u "$ocx" || fail "regsvr32 /u of the unpacked control answered $?"
prefix_run "$prefix" reg query "$class" >/dev/null 2>&1 && fail "the class is still registered"

if [ "$failures" -gt 0 ]; then
  echo "$failures failure(s)" >&2
  exit 1
fi
prefix_stop "$prefix"
rm -rf "$prefix"
echo "the package: reproducible, complete, checked, and its x86 control works unpacked"
