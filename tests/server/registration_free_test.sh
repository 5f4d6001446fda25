#!/usr/bin/env bash
# Registration-free use, in a fresh prefix where the control is not
# registered: a host whose application manifest depends on the Vemblaric
# assembly, with Vemblaric.ocx and Vemblaric.manifest in its folder, creates
# the control and drives it (registration_free_host.cpp); the same host in a
# folder without its application manifest gets REGDB_E_CLASSNOTREG.
#
#   registration_free_test.sh BUILD_DIR SOURCE_DIR WORK_DIR
#
# The host's events run over the fresh prefix's own null-modem pair COM1<->COM2.
set -uo pipefail
build=${1:?usage: registration_free_test.sh BUILD_DIR SOURCE_DIR WORK_DIR}
src=${2:?} work=${3:?}
mkdir -p "$work"
. "$src/tests/support/fresh_prefix.sh" "$build"
trap prefix_stop_all EXIT

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

host=$build/tests/server/registration_free_host.exe
assembly=$build/server/Vemblaric.manifest
case $VEMBLARIC_WORD_SIZE in 32) arch=x86 ;; 64) arch=amd64 ;; esac
version=$(sed -n 's/.*<assemblyIdentity [^>]*version="\([0-9.]*\)".*/\1/p' "$assembly")
grep -q "<assemblyIdentity type=\"win32\" name=\"Vemblaric\" version=\"$version\" processorArchitecture=\"$arch\"/>" \
  "$assembly" || fail "$assembly does not name the $arch assembly Vemblaric"
[ "$version" = "$(head -n 1 "$src/VERSION").0" ] || fail "the assembly's version $version is not VERSION's"
# Every type library of the file, each class with its library, and the
# version-independent identifier beside a versioned one.
for line in '<typelib tlbid="{FE4F5263-11D5-4724-95BA-A978983B6369}" version="20.0"' \
            '<typelib tlbid="{1EFB73A2-C8DA-4C69-84CC-7935DBFCFA78}" version="1.2"' \
            '<comClass clsid="{10A3CDB8-70E0-4AD5-B7C6-4984AB5E2C2D}" progid="Vemblaric.SerialPort.1" threadingModel="Apartment" tlbid="{1EFB73A2-C8DA-4C69-84CC-7935DBFCFA78}"' \
            '<progid>Vemblaric.SerialPort</progid>'; do
  grep -qF "$line" "$assembly" || fail "$assembly lacks $line"
done

# Two folders with the same files; only the first has the host's manifest.
for dir in with without; do
  rm -rf "${work:?}/$dir"
  mkdir -p "$work/$dir"
  cp "$host" "$build/server/Vemblaric.ocx" "$assembly" "$work/$dir/"
done
# The application manifest that INSTALL.txt shows, for this word size.
sed -e "s/@ASSEMBLY_VERSION@/$version/" -e "s/\"x86\"/\"$arch\"/g" \
  "$src/package/MyProgram.exe.manifest" >"$work/with/registration_free_host.exe.manifest"

prefix=$work/prefix
prefix_create "$prefix" ports || exit 1
prefix_run "$prefix" reg query 'HKCR\CLSID\{DDC012F8-A786-4584-856D-044BC1F49414}' >/dev/null 2>&1 &&
  fail "the control is registered in the fresh prefix"
for mode in with without; do
  echo "== $mode the application manifest"
  prefix_run "$prefix" "$work/$mode/registration_free_host.exe" "$mode" </dev/null | tr -d '\r' ||
    fail "the host $mode its manifest answered ${PIPESTATUS[0]}"
done

if [ "$failures" -gt 0 ]; then
  echo "$failures failure(s)" >&2
  exit 1
fi
prefix_stop "$prefix"
rm -rf "$prefix"
echo "registration-free: the manifest lets a host use the unregistered control"
