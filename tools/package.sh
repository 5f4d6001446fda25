#!/usr/bin/env bash
# The release package: DIST_DIR/vemblaric-VERSION.zip (DIST_DIR is dist/ by
# default), made from the two built variants (tools/build.sh):
#
#   vemblaric-VERSION/INSTALL.txt      for Windows users: which file, the installs, removal
#   vemblaric-VERSION/SHA256SUMS       the checksum of every other file
#   vemblaric-VERSION/x86/             the 32-bit Vemblaric.ocx and Vemblaric.manifest
#   vemblaric-VERSION/x64/             the 64-bit Vemblaric.ocx and Vemblaric.manifest
#   vemblaric-VERSION/examples/        for each class VBScripts and a C++ client with its
#                                      declarations (Vemblaric.h and Vemblaric_i.c for the
#                                      control, SerialPort.h and SerialPort_i.c for SerialPort);
#                                      SerialPort's VBA module and class module; an
#                                      application manifest
#
# VERSION comes from the file VERSION, as the version block's does. Every file
# has the time of the last commit and fixed permissions, and the zip lists
# them in a fixed order with no extra fields, so two runs give the same bytes.
#
#   package.sh [DIST_DIR]     VEMBLARIC_BUILD: the builds' folder (build/)
#
# VEMBLARIC_PACKAGE_VARIANTS="x64" (or "x86") makes a package of one variant
# only, for tests on a machine that cannot build the other; never released.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
base=${VEMBLARIC_BUILD:-$top/build}
dist=${1:-$top/dist}
version=$(head -n 1 "$top/VERSION")
name=vemblaric-$version

variants=${VEMBLARIC_PACKAGE_VARIANTS:-x86 x64}
for variant in $variants; do
  for file in server/Vemblaric.ocx server/Vemblaric.manifest serial_port/idl/SerialPort.h; do
    if [ ! -f "$base/$variant/$file" ]; then
      echo "package: $base/$variant/$file is missing; build both variants (tools/build.sh)" >&2
      exit 1
    fi
  done
done
command -v zip >/dev/null || { echo "package: zip is missing; run tools/setup.sh" >&2; exit 1; }

stage=$(mktemp -d /tmp/vemblaric-package.XXXXXX)
trap 'rm -rf "$stage"' EXIT
root=$stage/$name
mkdir -p "$root/examples"
first=${variants%% *}

# Text for Windows users ends its lines with CR LF.
crlf() { sed 's/\r*$/\r/'; }
assembly_version=$(sed -n 's/.*<assemblyIdentity [^>]*version="\([0-9.]*\)".*/\1/p' \
                     "$base/$first/server/Vemblaric.manifest")
fill() { sed -e "s/@VERSION@/$version/g" -e "s/@ASSEMBLY_VERSION@/$assembly_version/g"; }

for variant in $variants; do
  mkdir -p "$root/$variant"
  cp "$base/$variant/server/Vemblaric.ocx" "$base/$variant/server/Vemblaric.manifest" "$root/$variant/"
done
fill <"$top/package/INSTALL.txt" | crlf >"$root/INSTALL.txt"
fill <"$top/package/MyProgram.exe.manifest" | crlf >"$root/examples/MyProgram.exe.manifest"
# The VBA editor imports a module only with CR LF line ends.
for file in serial_loopback.vbs remote_device.vbs cpp_client.cpp serial_port_poll.vbs serial_port_client.cpp \
            SerialPortMacros.bas SerialSession.cls; do
  crlf <"$top/examples/$file" >"$root/examples/$file"
done
for file in server/idl/Vemblaric.h server/idl/Vemblaric_i.c serial_port/idl/SerialPort.h \
            serial_port/idl/SerialPort_i.c; do
  crlf <"$base/$first/$file" >"$root/examples/${file##*/}"
done

(cd "$root" && find . -type f | sed 's|^\./||' | LC_ALL=C sort | xargs sha256sum) >"$stage/SHA256SUMS"
mv "$stage/SHA256SUMS" "$root/SHA256SUMS"

stamp=$(git -C "$top" log -1 --format=%ct 2>/dev/null || echo 315532800)
find "$root" -type d -exec chmod 755 {} + -o -type f -exec chmod 644 {} +
find "$root" -exec touch -h -d "@$stamp" {} +
mkdir -p "$dist"
zipfile=$(cd "$dist" && pwd)/$name.zip
rm -f "$zipfile"
(cd "$stage" && find "$name" -type f | LC_ALL=C sort | TZ=UTC zip -X -D -q -9 "$zipfile" -@)
echo "== $zipfile"
echo "   $(sha256sum "$zipfile" | cut -d' ' -f1)  sha256"
