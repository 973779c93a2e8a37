' LcdText.vbs: shows on an LCD the text of every display message sent on the xAP network (the
' xAP display schema: class Message.Display, section Display.Text, items Line1, Line2, ...).
' The LCD is a BSC text output: it takes an xAPBSC.cmd whose section output.state.1 holds
' id, State=on and the Text to show. A real device refuses a command without id and State.
'
' Startup.vbs subscribes this script to Message.Display messages; the node starts it with one
' argument, the subscription's position, whenever such messages arrive.
'
' Adapt:
'   LcdTarget   the xAP address of the LCD's BSC text endpoint, "device:endpoint"
'   LcdId       the endpoint's id as the device numbers it ("*" for the one the target names)
'   LcdWidth    the characters the LCD shows; a longer text is cut (0: never cut)
'   Joiner      what goes between Line1 and Line2 ("" for two lines on a two-line LCD that
'               wraps by itself)

Option Explicit

Const LcdTarget = "acme.lcd.kitchen:display"
Const LcdId = "*"
Const LcdWidth = 32
Const Joiner = " "

Dim hs, position, msg, text
Set hs = CreateObject("Sablewick.Application")
position = WScript.Arguments(0)

Set msg = hs.GetXapMessage(position)
Do Until msg Is Nothing
  text = Line(msg, "Line1")
  If Line(msg, "Line2") <> "" Then text = text & Joiner & Line(msg, "Line2")
  If LcdWidth > 0 Then text = Left(text, LcdWidth)
  If text <> "" Then
    hs.SendXapMessage LcdTarget, "xAPBSC.cmd", "output.state.1", _
        "id" & Chr(1) & LcdId & Chr(0) & "State" & Chr(1) & "on" & Chr(0) & "Text" & Chr(1) & text, _
        "", "", ""
  End If
  Set msg = hs.GetXapMessage(position)
Loop

' One line of the display message, "" when it has none. An xAP item value is one line: a line
' break, or the characters 0 and 1 that separate the items given to SendXapMessage, would
' break the command, so they become blanks.
Function Line(m, name)
  Dim value
  value = m.GetItem("Display.Text", name)
  ' GetItem gives the text "Unknown" when the section or the item is missing.
  If value = "Unknown" Then value = ""
  value = Replace(Replace(value, vbCr, " "), vbLf, " ")
  value = Replace(Replace(value, Chr(0), " "), Chr(1), " ")
  Line = Trim(value)
End Function
