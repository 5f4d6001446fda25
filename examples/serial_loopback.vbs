' Two serial controls on the two ends of a null-modem cable, from a script:
' COM1 sends a line, COM2 polls with Read_Com until the whole line is in.
' Everything is late-bound, by name, as in any script host.
'
'   cscript //nologo serial_loopback.vbs
'
' A script host without events cannot wait in the control's receive loop, so
' this one polls: each Read_Com takes what has arrived into Buffer, and leaves
' Buffer alone when nothing came. On Windows it returns at once with what has
' arrived; under Wine it waits up to a second for 64 bytes first.
Option Explicit

Dim sender, receiver, text, received, started, message, result

Set sender = CreateObject("Vemblaric.SerialControl")
Set receiver = CreateObject("Vemblaric.SerialControl")
WScript.Echo "Company: " & sender.Company
WScript.Echo "Version: " & sender.Version

sender.Port = 1
sender.Baud = 57600
receiver.Port = 2
receiver.Baud = 57600
sender.Open_Com
receiver.Open_Com
WScript.Echo "COM1 open: " & sender.Status & ", COM2 open: " & receiver.Status

text = "hello over the cable"
sender.Write_Com text & vbCrLf
WScript.Echo "Write_Com sent the whole line: " & sender.Status

' Poll until the line is in, for ten seconds at the most (Timer counts the
' seconds since midnight).
received = ""
started = Timer
Do While InStr(received, vbLf) = 0 And Abs(Timer - started) < 10
  receiver.Buffer = ""
  receiver.Read_Com
  received = received & receiver.Buffer
Loop
WScript.Echo "COM2 read: " & Replace(received, vbCrLf, "")

' A write on a port that is closed fails: Status turns False, and the
' control keeps the reason for CommGetError (a hidden member).
sender.Close_Com
sender.Write_Com "after the close"
WScript.Echo "Write_Com after Close_Com: Status = " & sender.Status
message = ""
result = sender.CommGetError(message)
WScript.Echo "CommGetError returned " & result & ": " & Trim(Replace(message, vbCrLf, ""))

receiver.Close_Com
WScript.Echo "closed"
