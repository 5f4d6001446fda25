' Two SerialPort objects on the two ends of a null-modem cable, from a script
' that polls: COM1 sends, COM2 waits for each line with ReadLine, which
' returns once the line is in or fails when ReadTimeout runs out. Failures
' are automation errors: the script catches them with On Error Resume Next
' and reads Err.Number and Err.Description.
'
'   cscript //nologo serial_port_poll.vbs
'
' A script host without events cannot take DataReceived, so the reads wait
' instead (Wine's script host also has no WScript.Sleep to poll with).
Option Explicit

' The published enumeration value (a script does not see the type library's).
Const serialStopBitsTwo = 2

Dim sender, receiver, port, text

Set sender = CreateObject("Vemblaric.SerialPort")
Set receiver = CreateObject("Vemblaric.SerialPort")
WScript.Echo "defaults: " & sender.PortName & ", " & sender.BaudRate & " baud, " & sender.DataBits & _
  " data bits, parity " & sender.Parity & ", stop bits " & sender.StopBits & ", ReadTimeout " & _
  sender.ReadTimeout & " ms, WriteTimeout " & sender.WriteTimeout & " ms"

' Both ends at 19200 baud, 8 data bits, no parity, two stop bits. (The
' virtual cables this was tried on take neither 7 data bits nor a parity;
' a real port does.)
sender.PortName = "COM1"
receiver.PortName = "COM2"
For Each port In Array(sender, receiver)
  port.BaudRate = 19200
  port.StopBits = serialStopBitsTwo
  port.Open
Next
WScript.Echo "COM1 open: " & sender.IsOpen & ", COM2 open: " & receiver.IsOpen

sender.WriteLine "hello over the cable"          ' the text, then NewLine (vbLf)
sender.WriteLine "a second line"
WScript.Echo "COM2 ReadLine: " & receiver.ReadLine
WScript.Echo "COM2 ReadLine: " & receiver.ReadLine

' Text without a line end: ReadLine waits out ReadTimeout and fails, and
' what came stays for the next read.
sender.Write "no line end"
receiver.ReadTimeout = 300
On Error Resume Next
text = receiver.ReadLine
WScript.Echo "COM2 ReadLine: Err.Number = &H" & Hex(Err.Number) & ", " & Err.Description
Err.Clear
On Error GoTo 0
WScript.Echo "COM2 ReadExisting: " & receiver.ReadExisting

' A call on a closed port, and a port that does not exist.
sender.Close
On Error Resume Next
sender.WriteLine "after the close"
WScript.Echo "COM1 WriteLine after Close: Err.Number = &H" & Hex(Err.Number) & ", " & Err.Description
Err.Clear
sender.PortName = "COM9"
sender.Open
WScript.Echo "COM9 Open: Err.Number = &H" & Hex(Err.Number) & ", " & Err.Source & ": " & Err.Description
Err.Clear
On Error GoTo 0

' What the system knows of each port: For Each walks GetPorts' collection,
' and Item (its default member) counts from 1. A virtual port has no device
' record, so it has a name and nothing else; a USB adapter's says more.
Dim ports, info, walked, last
Set ports = receiver.GetPorts
walked = 0
For Each info In ports
  walked = walked + 1
  last = info.PortName
  If info.PortName = "COM1" Then
    WScript.Echo "GetPorts: " & info.PortName & ", vendor '" & info.VendorId & "', interface " & _
      info.InterfaceNumber & ", first " & ports(1).PortName
  End If
Next
WScript.Echo "GetPorts: For Each walked Count ports: " & (walked = ports.Count) & _
  ", the last is Item(Count): " & (last = ports.Item(ports.Count).PortName)
' A device asked for by what it is, which nobody plugged in.
receiver.Close
receiver.PortName = "usb://0403:6001/NOSUCH"
On Error Resume Next
receiver.Open
WScript.Echo "usb:// Open: Err.Number = &H" & Hex(Err.Number) & ", resolved '" & receiver.ResolvedPortName & "'"
Err.Clear
On Error GoTo 0
WScript.Echo "closed"
