' What the macros of a VBA module (as vba_to_vbscript.awk writes them) need
' around them in the script host: a sheet's cells, a MsgBox that prints, the
' failure a handler reads, and a record of every port they made.
Class HarnessCell
  Public Value
End Class
Dim HarnessSheet : Set HarnessSheet = CreateObject("Scripting.Dictionary")
Function Range(address)
  If Not HarnessSheet.Exists(address) Then HarnessSheet.Add address, New HarnessCell
  Set Range = HarnessSheet(address)
End Function
Function Cells(row, column)
  Set Cells = Range(Chr(64 + column) & row)
End Function
Sub HarnessShowCells(addresses)
  Dim address, text
  For Each address In addresses
    text = text & " " & address & "=" & Range(address).Value
  Next
  WScript.Echo "cells:" & text
End Sub

' (Wine's script engine takes one name a Public statement.)
Class HarnessFailure
  Public Number
  Public Description
  Sub Take(failed)
    Number = failed.Number
    Description = failed.Description
  End Sub
End Class
Dim Failure : Set Failure = New HarnessFailure

' The title and the last line, where the macros put their advice.
Sub HarnessMsgBox(prompt, buttons, title)
  Dim lines : lines = Split(prompt, vbLf)
  WScript.Echo "MsgBox " & title & ": " & lines(UBound(lines))
End Sub

Dim HarnessPorts : Set HarnessPorts = CreateObject("Scripting.Dictionary")
Function HarnessNewPort()
  Set HarnessNewPort = CreateObject("Vemblaric.SerialPort")
  HarnessPorts.Add HarnessPorts.Count, HarnessNewPort
End Function
Function HarnessOpenPorts()
  Dim port
  HarnessOpenPorts = 0
  For Each port In HarnessPorts.Items
    If port.IsOpen Then HarnessOpenPorts = HarnessOpenPorts + 1
  Next
End Function

' A Byte() as a String of its bytes: Wine's script engine can neither index
' nor measure a Byte(), so the bytes cross the second cable, COM3 to COM4,
' and come back as text (the test's bytes are all below 128).
Dim HarnessRelayOut, HarnessRelayIn
Function HarnessText(bytes)
  If IsEmpty(HarnessRelayOut) Then
    Set HarnessRelayOut = CreateObject("Vemblaric.SerialPort")
    Set HarnessRelayIn = CreateObject("Vemblaric.SerialPort")
    HarnessRelayOut.PortName = "COM3"
    HarnessRelayIn.PortName = "COM4"
    HarnessRelayOut.Open
    HarnessRelayIn.Open
  End If
  HarnessRelayOut.WriteBytes bytes
  HarnessRelayOut.Write "|end|"
  HarnessText = HarnessRelayIn.ReadTo("|end|")
End Function
