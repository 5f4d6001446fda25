' SerialPortMacros' macros against instrument.vbs on the other end of
' COM1<->COM2: a reading, a time-out, a port that is not there, a frame, and
' a line the instrument sent on its own. Every port they opened is closed.
PortName = "COM1"
ReadingIntoCell
HarnessShowCells Array("A1")
MeasureCommand = "SILENT?"                ' the instrument does not answer it
ReadingIntoCell
PortName = "COM9"
NextLineIntoCell
PortName = "COM1"
FrameIntoCells                     ' from then on the instrument sends readings
HarnessShowCells Array("A3", "B3", "C3", "D3", "E3", "F3", "G3", "H3")
NextLineIntoCell
HarnessShowCells Array("A2")
WScript.Echo "ports left open: " & HarnessOpenPorts()

Dim last : Set last = CreateObject("Vemblaric.SerialPort")
last.PortName = "COM1"
last.NewLine = vbCrLf
last.Open
last.WriteLine "bye"
last.Close
