' A session that outlives an unplug, from a script that polls: COM3 is the
' host's port with AutoReconnect, COM4 plays the device. When the cable goes,
' IsOpen turns False and calls fail with &H8000000E, saying the port waits;
' when it is back, IsOpen turns True again and the session goes on at the
' settings made before.
'
'   cscript //nologo serial_port_reconnect.vbs
'
' A script takes no events: IsOpen is what tells it, as it looks at the
' device and tries to reopen a waiting port when a try is due. (A host with
' events gets ErrorReceived, Reconnected and PortsChanged instead:
' SerialSession.cls.) The test suite takes the bench's COM3<->COM4 pair away
' when the script says "unplug", and puts it back at "plug back in".
Option Explicit

Const serialStopBitsTwo = 2

Dim host, device, port, waited

' Waits `ms` milliseconds: Windows' script host sleeps; Wine's has no
' WScript.Sleep, so there the script watches the clock.
Sub Pause(ms)
  Dim start
  On Error Resume Next
  WScript.Sleep ms
  If Err.Number <> 0 Then
    Err.Clear
    start = Timer
    Do While Timer >= start And Timer - start < ms / 1000
    Loop
  End If
  On Error GoTo 0
End Sub

' Polls IsOpen until it is `wanted`, for at most 20 s; how long it took.
Function WaitUntilOpenIs(p, wanted)
  Dim start
  start = Timer
  Do While p.IsOpen <> wanted And Timer >= start And Timer - start < 20
    Pause 100
  Loop
  WaitUntilOpenIs = Timer - start
End Function

Set host = CreateObject("Vemblaric.SerialPort")
Set device = CreateObject("Vemblaric.SerialPort")
host.PortName = "COM3"
device.PortName = "COM4"
For Each port In Array(host, device)
  port.BaudRate = 19200
  port.StopBits = serialStopBitsTwo
  port.NewLine = vbCrLf
Next
host.AutoReconnect = True
host.Open
device.Open
WScript.Echo "COM3 open with AutoReconnect: " & host.IsOpen & ", COM4 open: " & device.IsOpen
host.WriteLine "before the unplug"
WScript.Echo "COM4 ReadLine: " & device.ReadLine

WScript.Echo "unplug"
waited = WaitUntilOpenIs(host, False)
WScript.Echo "COM3 IsOpen: " & host.IsOpen
On Error Resume Next
host.WriteLine "lost"
WScript.Echo "COM3 WriteLine: Err.Number = &H" & Hex(Err.Number) & ", waits for its device: " & _
  (InStr(Err.Description, "waits for it to return") > 0)
Err.Clear
On Error GoTo 0

WScript.Echo "plug back in"
waited = WaitUntilOpenIs(host, True)
WScript.Echo "COM3 IsOpen: " & host.IsOpen & ", " & host.BaudRate & " baud, stop bits " & host.StopBits
' The device's own end went with the cable and is opened again by hand.
device.Close
device.Open
host.WriteLine "after the return"
WScript.Echo "COM4 ReadLine: " & device.ReadLine
device.WriteLine "the device answers"
WScript.Echo "COM3 ReadLine: " & host.ReadLine

host.Close
device.Close
WScript.Echo "closed"
