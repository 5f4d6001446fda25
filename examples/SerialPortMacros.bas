Attribute VB_Name = "SerialPortMacros"
' Readings from an instrument (a scale, a meter) into cells of the active
' sheet, through Vemblaric.SerialPort. Import it in the VBA editor with
' File > Import File..., set the values below, and run a macro
' (Alt+F8, or a button).
'
' Needs the reference "Vemblaric Serial Port" (Tools > References...): the
' port is declared with its type and the error numbers have their names
' (serialErrTimeout...). Without the reference, declare the port As Object,
' create it with CreateObject("Vemblaric.SerialPort") and compare Err.Number
' with the numbers written beside each name in ShowFailure.
'
' No Declare statements: it runs as it is in 32-bit and in 64-bit Office.
' Each macro opens the port, waits for its answer (Excel does not respond
' meanwhile, for ReadTimeout at most), and closes the port again, also when
' it fails, so the instrument's own program can use the port in between.
Option Explicit

Private Const PortName As String = "COM3"          ' any number: COM7, COM21...
Private Const BaudRate As Long = 9600
Private Const MeasureCommand As String = "MEAS?"   ' what the instrument answers with a reading
Private Const FrameCommand As String = "FRAME?"    ' what it answers with a binary frame
Private Const FrameLength As Long = 8              ' bytes of one binary frame

' A reading into A1: the command goes out with NewLine and the answer's line
' comes back. Old answers still queued are discarded first.
Public Sub ReadingIntoCell()
    Dim port As VemblaricSerialPort.SerialPort
    On Error GoTo Failed
    Set port = OpenPort()
    Range("A1").Value = port.Query(MeasureCommand)
    port.Close
    Exit Sub
Failed:
    ShowFailure "ReadingIntoCell", Err.Number, Err.Description
    ClosePort port
End Sub

' The next line an instrument sends on its own (a scale that sends every
' reading, or when its Print key is pressed) into A2. What came before the
' macro is old and discarded; the first line after that may have lost its
' beginning to the discard, so it is read and dropped (leave that ReadLine
' out for an instrument that sends only when its key is pressed).
Public Sub NextLineIntoCell()
    Dim port As VemblaricSerialPort.SerialPort
    Dim partial As String
    On Error GoTo Failed
    Set port = OpenPort()
    port.DiscardInBuffer
    partial = port.ReadLine
    Range("A2").Value = port.ReadLine
    port.Close
    Exit Sub
Failed:
    ShowFailure "NextLineIntoCell", Err.Number, Err.Description
    ClosePort port
End Sub

' A binary frame of FrameLength bytes, one byte a cell, into row 3. An
' instrument that takes a binary request is sent a Byte() with
' port.WriteBytes instead of the text FrameCommand.
Public Sub FrameIntoCells()
    Dim port As VemblaricSerialPort.SerialPort
    Dim frame() As Byte
    Dim i As Long
    On Error GoTo Failed
    Set port = OpenPort()
    port.DiscardInBuffer
    port.WriteLine FrameCommand
    frame = port.ReadExactly(FrameLength)
    For i = 0 To UBound(frame)
        Cells(3, i + 1).Value = frame(i)
    Next
    port.Close
    Exit Sub
Failed:
    ShowFailure "FrameIntoCells", Err.Number, Err.Description
    ClosePort port
End Sub

Private Function OpenPort() As VemblaricSerialPort.SerialPort
    Dim port As VemblaricSerialPort.SerialPort
    Set port = New VemblaricSerialPort.SerialPort
    port.PortName = PortName
    port.BaudRate = BaudRate
    port.NewLine = vbCrLf          ' the line ending the instrument uses: vbCr, vbLf or vbCrLf
    port.ReadTimeout = 2000        ' ms to wait for an answer
    port.Open
    Set OpenPort = port
End Function

Private Sub ClosePort(ByVal port As VemblaricSerialPort.SerialPort)
    If Not port Is Nothing Then port.Close
End Sub

' What went wrong, and what to look at. VBA shows Err.Number in decimal; the
' hexadecimal form is the one INSTALL.txt's Troubleshooting lists.
Private Sub ShowFailure(ByVal macroName As String, ByVal number As Long, ByVal description As String)
    Dim advice As String
    Select Case number
    Case serialErrTimeout          ' &H800705B4, -2147023436
        advice = "No answer in time: check the baud rate, NewLine and the cable."
    Case serialErrNoSuchPort       ' &H80070002, -2147024894
        advice = "There is no " & PortName & ": see Device Manager > Ports (COM & LPT)."
    Case serialErrAccessDenied     ' &H80070005, -2147024891
        advice = PortName & " is in use by another program: close it there first."
    Case Else
        advice = "See Troubleshooting in INSTALL.txt."
    End Select
    MsgBox description & vbLf & vbLf & advice, vbExclamation, macroName & " (&H" & Hex(number) & ")"
End Sub
