# Snapshots of the registry for the shell tests, sourced by their scripts. A
# Wine program started from here costs 0.2 s to a second, so a test takes one
# snapshot per step and reads every key it checks from that text, rather than
# starting a `reg query` per key.
#
#   snapshot NAME COMMAND... -- KEY...
#       Exports each KEY with all below it: COMMAND starts a Wine program (a
#       build's wine-run, or `prefix_run DIR`), `COMMAND reg export KEY` for
#       one, and for several one `COMMAND cmd` that runs a reg export per key.
#       Writes NAME.export, the exports as UTF-8 text (less their first line,
#       the editor's version), and NAME.txt, one line
#       per key ("KEY") and per value ("KEY|NAME|TYPE|DATA", the default value
#       named "(Default)", as `reg query` prints them). A key that is absent
#       holds nothing; fails when Wine did not export. Exporting a whole root
#       such as HKEY_CLASSES_ROOT costs seconds, the few keys a step checks a
#       tenth of a second each, so take a root only to compare it whole.
#   snapshot_has NAME KEY          whether KEY is in the snapshot
#   snapshot_tree NAME KEY [AS]    KEY and all below it as NAME.txt's lines,
#                                  sorted, KEY written as AS (default KEY)
#   snapshot_value NAME KEY [VAL]  the data of a value, the default one if no
#                                  VAL; fails when there is none
#   snapshot_sections NAME KEY     KEY and all below it as .reg text
#
# Key names compare as the registry compares them, without regard to case:
# Wine keeps HKEY_CLASSES_ROOT\Typelib with a small l, whatever a test asks for.
# Awk gets key names through the environment, as -v would read their
# backslashes as escapes.
# shellcheck shell=bash

windows_path() { printf 'Z:%s' "$1" | tr / '\\'; }

snapshot() {
  local name=$1 command=() keys=() i
  shift
  while [ "$#" -gt 0 ] && [ "$1" != -- ]; do command+=("$1"); shift; done
  shift
  keys=("$@")
  rm -f "$name".*reg "$name.export" "$name.txt" "$name.done"
  if [ "${#keys[@]}" = 1 ]; then
    if ! "${command[@]}" reg export "${keys[0]}" "$(windows_path "$name.0.reg")" /y >/dev/null 2>&1; then
      # Only on a failure: is there no such key, or could it not be read?
      "${command[@]}" reg query "${keys[0]}" >/dev/null 2>&1 && return 1
    fi
  else
    # The batch's last line says it ran to the end: a key whose export is
    # missing then is absent, not lost with a program Wine did not start.
    for i in "${!keys[@]}"; do
      printf 'reg export "%s" "%s" /y >nul 2>&1\r\n' "${keys[$i]}" "$(windows_path "$name.$i.reg")"
    done >"$name.bat"
    printf 'echo done>"%s"\r\n' "$(windows_path "$name.done")" >>"$name.bat"
    "${command[@]}" cmd /c "$(windows_path "$name.bat")" </dev/null >/dev/null 2>&1
    [ -f "$name.done" ] || return 1
  fi
  for i in "${!keys[@]}"; do
    [ -f "$name.$i.reg" ] || continue
    iconv -f UTF-16LE -t UTF-8 "$name.$i.reg" | tr -d '\r' |
      sed -e '1s/^\xEF\xBB\xBF//' -e '1{/^Windows Registry Editor/d}' || return 1
  done >"$name.export"
  awk '
    # A string as the export writes it, quotes off and escapes undone.
    function unquote(s,   out, i, c) {
      out = ""
      for (i = 2; i < length(s); i++) {
        c = substr(s, i, 1)
        if (c == "\\") c = substr(s, ++i, 1)
        out = out c
      }
      return out
    }
    function value(line,   name, i, data, type, hex) {
      if (substr(line, 1, 2) == "@=") {
        name = "(Default)"
        data = substr(line, 3)
      } else {
        for (i = 2; i <= length(line); i++) {
          if (substr(line, i, 1) == "\\") i++
          else if (substr(line, i, 1) == "\"") break
        }
        name = unquote(substr(line, 1, i))
        data = substr(line, i + 2)
      }
      if (data ~ /^"/) { type = "REG_SZ"; data = unquote(data) }
      else if (data ~ /^dword:/) {
        type = "REG_DWORD"
        data = substr(data, 7)
        sub(/^0+/, "", data)
        data = "0x" (data == "" ? "0" : data)
      }
      else {
        type = data ~ /^hex:/ ? "REG_BINARY" : substr(data, 1, index(data, ")"))
        if (type == "hex(2)") type = "REG_EXPAND_SZ"
        else if (type == "hex(7)") type = "REG_MULTI_SZ"
        else if (type == "hex(b)") type = "REG_QWORD"
        data = substr(data, index(data, ":") + 1)
      }
      print key "|" name "|" type "|" data
    }
    # Long binary values go on over lines that end in a backslash.
    pending != "" { sub(/^ +/, ""); $0 = pending $0; pending = "" }
    /\\$/ && !/^\[/ { pending = substr($0, 1, length($0) - 1); next }
    /^\[.*\]$/ { key = substr($0, 2, length($0) - 2); print key; next }
    /^(@|")/ && key != "" { value($0) }
  ' "$name.export" >"$name.txt"
}

snapshot_has() {
  grep -qixF -- "$2" "$1.txt"
}

snapshot_tree() {
  key=$2 as=${3:-$2} awk '
    BEGIN { k = tolower(ENVIRON["key"]); n = length(k); as = ENVIRON["as"] }
    {
      bar = index($0, "|")
      name = tolower(bar ? substr($0, 1, bar - 1) : $0)
      if (name == k || substr(name, 1, n + 1) == k "\\") print as substr($0, n + 1)
    }' "$1.txt" | sort
}

snapshot_value() {
  key=$2 val=${3:-(Default)} awk '
    BEGIN { want = tolower(ENVIRON["key"] "|" ENVIRON["val"] "|"); n = length(want) }
    tolower(substr($0, 1, n)) == want { sub(/^[^|]*\|[^|]*\|[^|]*\|/, ""); print; found = 1; exit }
    END { exit !found }' "$1.txt"
}

snapshot_sections() {
  key=$2 awk '
    BEGIN { k = tolower(ENVIRON["key"]); n = length(k) }
    /^\[.*\]$/ {
      name = tolower(substr($0, 2, length($0) - 2))
      on = name == k || substr(name, 1, n + 1) == k "\\"
    }
    on' "$1.export"
}
