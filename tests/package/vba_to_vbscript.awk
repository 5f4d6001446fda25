# A VBA standard module as VBScript, so that its macros run in the script host
# (no Office runs under Wine). Line by line, for the VBA the examples write:
#  - Attribute lines and Option Explicit go (the harness states it first);
#  - "Const NAME As Type = value" becomes a variable, so the harness can point
#    the macros at its own port and instrument;
#  - "As Type" goes; a port declared with its class starts as Nothing, and
#    "New VemblaricSerialPort.SerialPort" becomes HarnessNewPort(), which
#    keeps each port so the harness can see that every one was closed;
#  - a Byte() (which Wine's script engine can neither index nor measure)
#    becomes a String of its bytes through HarnessText, and frame(i) and
#    UBound(frame) read that;
#  - "On Error GoTo LABEL" becomes a one-pass Do loop left at the first
#    failing statement; LABEL: takes the failure into Failure, and the
#    handler reads Failure where it read Err;
#  - MsgBox becomes HarnessMsgBox, which prints instead of waiting for a click.
# Not handled (the modules must not use them): Resume, Select Case or a
# continued line between On Error GoTo and its label.
function strip_types(line) {
  gsub(/ As New [A-Za-z_][A-Za-z0-9_.]*/, "", line)
  gsub(/ As [A-Za-z_][A-Za-z0-9_.]*/, "", line)
  return line
}
{ sub(/\r$/, "") }
/^Attribute / || /^Option Explicit/ { next }
{
  line = $0
  if (match(line, /^(Private |Public )?Const [A-Za-z_][A-Za-z0-9_]*/)) {
    name = substr(line, RSTART, RLENGTH); sub(/.* /, "", name)
    rest = strip_types(substr(line, RSTART + RLENGTH)); sub(/^ *= */, "", rest)
    print "Dim " name " : " name " = " rest
    next
  }
  if (match(line, /Dim [A-Za-z_][A-Za-z0-9_]*\(\) As Byte/)) {
    name = substr(line, RSTART + 4, RLENGTH - 14)
    bytes[name] = 1
    print substr(line, 1, RSTART - 1) "Dim " name
    next
  }
  if (match(line, /Dim [A-Za-z_][A-Za-z0-9_]* As VemblaricSerialPort\.SerialPort/)) {
    split(substr(line, RSTART + 4), words, " ")
    print substr(line, 1, RSTART - 1) "Dim " words[1] " : Set " words[1] " = Nothing"
    next
  }
  gsub(/New VemblaricSerialPort\.SerialPort/, "HarnessNewPort()", line)
  line = strip_types(line)
  gsub(/MsgBox /, "HarnessMsgBox ", line)
  for (name in bytes) {
    if (match(line, "^ *" name " = ")) line = substr(line, 1, RLENGTH) "HarnessText(" substr(line, RLENGTH + 1) ")"
    gsub("UBound\\(" name "\\)", "(Len(" name ") - 1)", line)
    while (match(line, "[^A-Za-z_(]" name "\\([^()]*\\)")) {
      inner = substr(line, RSTART + length(name) + 2, RLENGTH - length(name) - 3)
      line = substr(line, 1, RSTART) "Asc(Mid(" name ", (" inner ") + 1, 1))" substr(line, RSTART + RLENGTH)
    }
  }
  if (match(line, /^ *On Error GoTo [A-Za-z_][A-Za-z0-9_]*/)) {
    label = line; sub(/.* /, "", label)
    print "    On Error Resume Next"
    print "    Do"
    guarded = 1
    next
  }
  if (guarded && line ~ ("^" label ":")) {
    print "    Loop While False"
    print "    Failure.Take Err"
    print "    On Error GoTo 0"
    guarded = 0
    handler = 1
    next
  }
  if (handler) {
    if (line ~ /^End (Sub|Function)/) handler = 0
    else gsub(/Err\./, "Failure.", line)
  }
  print line
  if (guarded && line !~ /^ *('|$)/) print "    If Err.Number <> 0 Then Exit Do"
}
