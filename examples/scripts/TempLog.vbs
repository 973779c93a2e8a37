' TempLog.vbs: appends every temperature a sensor reports to a CSV file in the node's Data/
' folder, one line a reading: time, sensor, temperature. Spreadsheets and most plotting tools
' open it as it is.
'
' Startup.vbs subscribes this script to the sensors' messages; it keeps their xAPBSC.event
' messages (sent when the temperature changes) and xAPBSC.info messages (sent now and then, and
' when asked). The node starts it with one argument, the subscription's position, whenever
' such messages arrive.
'
' A BSC sensor reports in its section "input.state": Text=21.5 (a text input), or
' Level=215/1000 (a level input: the value and its range). This script writes the Text when
' there is one, else the Level as a number (215/1000 of FullScale).
'
' Adapt:
'   CsvFile     the file's name in Data/
'   FullScale   what a Level equal to its range stands for (100: Level=215/1000 is 21.5)

Option Explicit

Const CsvFile = "Temperatures.csv"
Const FullScale = 100

Const ForAppending = 8
Dim hs, position, msg, fso, path, file, value
Set hs = CreateObject("Sablewick.Application")
position = WScript.Arguments(0)
Set fso = CreateObject("Scripting.FileSystemObject")
' GetAppPath is the node's folder (the one holding Config/, Data/ and Scripts/); a script's
' working folder may be another.
path = hs.GetAppPath & "/Data/" & CsvFile
Set file = Nothing  ' opened at the first reading

Set msg = hs.GetXapMessage(position)
Do Until msg Is Nothing
  value = ""
  If msg.CompareClass("xAPBSC.event") Or msg.CompareClass("xAPBSC.info") Then value = Reading(msg)
  If value <> "" Then
    If file Is Nothing Then Set file = OpenCsv(path)
    ' Timestamp is when the node received the message, in local time.
    file.WriteLine Csv(Stamp(msg.Timestamp)) & "," & Csv(msg.msgSource) & "," & Csv(value)
  End If
  Set msg = hs.GetXapMessage(position)
Loop
If Not file Is Nothing Then file.Close

' The temperature a message reports, "" when it holds none.
Function Reading(m)
  Dim text, level, parts
  text = m.GetItem("input.state", "Text")
  level = m.GetItem("input.state", "Level")
  ' GetItem gives the text "Unknown" when the section or the item is missing.
  If text <> "Unknown" And text <> "" Then
    Reading = text
  ElseIf level <> "Unknown" And InStr(level, "/") > 1 Then
    parts = Split(level, "/")
    If IsNumeric(parts(0)) And IsNumeric(parts(1)) Then
      If CDbl(parts(1)) <> 0 Then Reading = CStr(CDbl(parts(0)) / CDbl(parts(1)) * FullScale)
    End If
  Else
    Reading = ""
  End If
End Function

' Opens the file for appending; a new file starts with the column names.
Function OpenCsv(name)
  Dim isNew
  isNew = Not fso.FileExists(name)
  Set OpenCsv = fso.OpenTextFile(name, ForAppending, True)
  If isNew Then OpenCsv.WriteLine "time,sensor,temperature"
End Function

' A field as CSV wants it: quoted when it holds a comma, a quote or a line break.
Function Csv(text)
  If InStr(text, ",") > 0 Or InStr(text, """") > 0 Or InStr(text, vbLf) > 0 _
      Or InStr(text, vbCr) > 0 Then
    Csv = """" & Replace(text, """", """""") & """"
  Else
    Csv = text
  End If
End Function

' 2026-12-11 18:05:09: sorts as text and every spreadsheet reads it as a date.
Function Stamp(d)
  Stamp = Year(d) & "-" & Two(Month(d)) & "-" & Two(Day(d)) & " " & Two(Hour(d)) & ":" & _
          Two(Minute(d)) & ":" & Two(Second(d))
End Function
Function Two(n)
  Two = Right("0" & n, 2)
End Function
