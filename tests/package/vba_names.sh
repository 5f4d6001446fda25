#!/usr/bin/env bash
# Every name the VBA modules (and INSTALL.txt's VBA) use of SerialPort is one
# its interface description publishes, so a typo or a renamed member fails
# here rather than in a user's Office: a member after "port." or "Port.", an
# event handler "Port_NAME", a constant "serialXxx", a type
# "VemblaricSerialPort.NAME".
#
#   vba_names.sh SERIALPORT_IDL FILE...
set -uo pipefail
idl=${1:?usage: vba_names.sh SERIALPORT_IDL FILE...}
shift
section() {  # the names declared in the block that starts with a line matching $1
  tr -d '\r' <"$idl" | awk -v start="$1" '$0 ~ start { on = 1 } on && /^ *}/ { exit } on' |
    grep -oE "$2" | sed -E "s/$3//g" | sort -u
}
members=$(section '^ *interface ISerialPort : IDispatch' 'HRESULT [A-Za-z_]+\(' '^HRESULT |\($')
events=$(section '^ *dispinterface ISerialPortEvents *$' 'void [A-Za-z_]+\(' '^void |\($')
constants=$(tr -d '\r' <"$idl" | grep -oE '^ *serial[A-Za-z]+ =' | tr -d ' =' | sort -u)
types=$( (tr -d '\r' <"$idl" | grep -oE '(coclass|enum) [A-Za-z_]+' | cut -d' ' -f2) | sort -u)
[ -n "$members" ] && [ -n "$events" ] && [ -n "$constants" ] || { echo "no names read from $idl" >&2; exit 2; }

failures=0
check() {  # check KIND KNOWN FILE USED...
  local kind=$1 known=$2 file=$3 name
  shift 3
  for name in "$@"; do
    grep -qxF "$name" <<<"$known" || { echo "FAIL: $file uses $kind $name, which SerialPort does not have" >&2
                                       failures=$((failures + 1)); }
  done
}
for file in "$@"; do
  text=$(tr -d '\r' <"$file")
  used() { grep -oE "$1" <<<"$text" | sed -E "${2:+s/$2//g}" | sort -u; }
  # shellcheck disable=SC2046
  {
    check member "$members" "$file" $(used '\b[Pp]ort\.[A-Za-z_]+' '^[Pp]ort\.')
    check event "$events" "$file" $(used 'Sub Port_[A-Za-z_]+\(' '^Sub Port_|\($')
    check constant "$constants" "$file" $(used '\bserial[A-Z][A-Za-z]*' '')
    check type "$types" "$file" $(used 'VemblaricSerialPort\.[A-Za-z_]+' '^VemblaricSerialPort\.')
  }
done
[ "$failures" = 0 ] || exit 1
echo "every SerialPort name in $# file(s) is in $(basename "$idl")"
