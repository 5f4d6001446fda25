' The instrument for the VBA macros' test, on the port named first: it
' answers "MEAS?" with a reading and "FRAME?" with a binary frame of 8 bytes,
' after which it sends a reading every 200 ms on its own; it ignores any
' other line, and ends at "bye" or after some 30 s.
Option Explicit
Const serialErrTimeout = &H800705B4
Dim port, line, failure, sending, round
Set port = CreateObject("Vemblaric.SerialPort")
port.PortName = WScript.Arguments(0)
port.NewLine = vbCrLf
port.ReadTimeout = 200
port.Open
WScript.Echo "ready"
sending = False
For round = 1 To 150
  On Error Resume Next
  line = port.ReadLine
  failure = Err.Number
  On Error GoTo 0
  If failure = 0 Then
    WScript.Echo "got " & line
    If line = "bye" Then Exit For
    If line = "MEAS?" Then port.WriteLine "+12.345 g"
    If line = "FRAME?" Then
      port.Write Chr(2) & "012345" & Chr(3)
      sending = True
    End If
  ElseIf failure = serialErrTimeout Then
    If sending Then port.WriteLine "ST,GS,+0012.50 g"
  Else
    WScript.Echo "failed: &H" & Hex(failure)
    Exit For
  End If
Next
port.Close
