' A device on another machine, from a script: the hidden CommOpen puts the
' port named on the command line (rfc2217://host:port or socket://host:port)
' as its port 1, and the usual members work on it. Each line is sent when the
' answer to the one before it has arrived; "bye" ends the exchange.
'
'   cscript //nologo remote_device.vbs rfc2217://lab-pi:2217
Option Explicit

Dim c, name, result, message, text, answer, lineState
If WScript.Arguments.Count < 1 Then
  WScript.Echo "usage: remote_device.vbs rfc2217://host:port"
  WScript.Quit 2
End If
name = WScript.Arguments(0)

Set c = CreateObject("Vemblaric.SerialControl")
result = c.CommOpen(1, name, "baud=57600 parity=N data=8 stop=1")
message = ""
If result <> 0 Then
  c.CommGetError message
  WScript.Echo "CommOpen failed: " & message
  WScript.Quit 1
End If
c.Port = 1
WScript.Echo "CommOpen: the port is open"

' The server reports its port's modem lines (a pty has none: all clear).
lineState = False
result = c.CommGetLine(1, &H80, lineState)
WScript.Echo "carrier detect (CommGetLine): " & result & ", " & lineState

For Each text In Array("hello", "over the network, with the line settings of the server's port", "bye")
  c.Write_Com text & vbCrLf
  WScript.Echo "sent     " & text
  answer = ReadLine(10)
  WScript.Echo "answered " & answer
Next
c.Close_Com
WScript.Echo "closed"

' Polls with Read_Com until a whole line is in, at most `seconds`.
Function ReadLine(seconds)
  Dim received, started
  received = ""
  started = Timer
  Do While InStr(received, vbLf) = 0 And Abs(Timer - started) < seconds
    c.Buffer = ""
    c.Read_Com
    received = received & c.Buffer
  Loop
  ReadLine = Replace(received, vbCrLf, "")
End Function
