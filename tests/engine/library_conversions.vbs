' Conversions, named constants and the argument checks of the built-in library, each a
' table of cases: an expression and what it gives (type:value) or the error it raises.
Function Try(expr)
  Dim r
  On Error Resume Next
  r = Eval(expr)
  If Err.Number <> 0 Then
    Try = "err" & Err.Number
  ElseIf IsNull(r) Then
    Try = "Null"
  Else
    Try = TypeName(r) & ":" & r
  End If
End Function

Function Table(cases)
  Dim c, out
  For Each c In cases
    out = out & Try(c) & " "
  Next
  Table = RTrim(out)
End Function

' The named constants: value and type (Integer or Long) as the language has them.
WScript.Echo Table(Array("vbUseSystem", "vbUseSystemDayOfWeek", "vbMsgBoxHelpButton", "vbMsgBoxSetForeground", _
  "vbMsgBoxRight", "vbMsgBoxRtlReading", "vbSystemModal", "vbObjectError", "vbWhite", "vbTrue", "vbUseDefault", "vbDatabaseCompare"))
' expect: Integer:0 Integer:0 Long:16384 Long:65536 Long:524288 Long:1048576 Integer:4096 Long:-2147221504 Long:16777215 Integer:-1 Integer:-2 Integer:2

' Text to a number accepts number text only; CBool also takes True/False and #TRUE#/#FALSE#.
WScript.Echo Table(Array("CLng(""TRUE"")", "CDbl(""false"")", "CByte(""#TRUE#"")", "CInt("""")", "CCur(""1/2/2003"")", _
  "CLng("" 12 "")", "CDbl(""&H10"")", "CSng(""-0.5"")", "CBool(""#TRUE#"")", "CBool(""#false#"")", "CBool(""True"")", "CBool(""0.1"")", "CBool("""")"))
' expect: err13 err13 err13 err13 err13 Long:12 Double:16 Single:-0.5 Boolean:True Boolean:False Boolean:True Boolean:True err13

' Booleans, ranges and rounding: CByte(True) is True's low byte.
WScript.Echo Table(Array("CByte(True)", "CByte(False)", "CInt(True)", "CCur(True)", "CInt(32767.49)", "CInt(32767.5)", _
  "CInt(-32768.5)", "CByte(-0.5)", "CByte(""258"")", "CDate(""1"")", "CDate(Null)", "CDbl(Null)"))
' expect: Byte:255 Byte:0 Integer:-1 Currency:-1 Integer:32767 err6 Integer:-32768 Byte:0 err6 Date:12/31/1899 err94 err94

' CCur reads text exactly to four decimals (the fifth rounds half to even), up to the type's
' limits; one unit past them is an overflow, however the text is written.
WScript.Echo Table(Array("CCur(""900000000000000.1234"")", "CCur(""922337203685477.5807"")", _
  "CCur(""-922337203685477.5808"")", "CCur("" -$1,234.56785 "")", "CCur(""1.23455"")", "CCur(""1.23465"")", _
  "CCur(""0.00005"")", "CCur(""1.5E-4"")", "CCur(""9.223372036854775807E14"")", "CCur(""922337203685477.58074"")", _
  "CCur(""&H7FFF"")", "CCur(""1e-400"")", "CCur(""000000000000000000000000012.5"")", "CCur(""x1"")"))
' expect: Currency:900000000000000.1234 Currency:922337203685477.5807 Currency:-922337203685477.5808 Currency:-1234.5678 Currency:1.2346 Currency:1.2346 Currency:0 Currency:0.0002 Currency:922337203685477.5807 Currency:922337203685477.5807 Currency:32767 Currency:0 Currency:12.5 err13
WScript.Echo Table(Array("CCur(""922337203685477.5808"")", "CCur(""-922337203685477.5809"")", "CCur(""922337203685477.58075"")", _
  "CCur(""1E15"")", "CCur(""1e400"")", "CCur(""99999999999999999999"")"))
' expect: err6 err6 err6 err6 err6 err6

Dim o: Set o = New Holder: o.v = -2.5
' Round keeps whole-number types (Boolean too); Int, Fix and Abs read an object's default value.
WScript.Echo Table(Array("Round(True)", "Round(CByte(7))", "Round(""2.5"")", "Round(2.567, 2)", "Round(CSng(1.5))", _
  "Int(o)", "Fix(o)", "Abs(o)", "IsNumeric(o)", "IsNumeric(New Bare)", "IsNumeric(Nothing)", "Abs(True)"))
' expect: Boolean:True Byte:7 Double:2 Double:2.57 Single:2 Double:-3 Double:-2 Double:2.5 Boolean:True Boolean:False Boolean:False Integer:1

' In arithmetic, text beside a Date reads as a date; anywhere else it must be number text.
WScript.Echo Table(Array("#1/10/2020# - ""1/1/2020""", "#1/1/2020# + ""2""", """1/2/2020 6:00"" - #1/1/2020#", _
  """1/1/2020"" + 1", """True"" + 1", """12"" * 2", "-""x"""))
' expect: Double:9 Date:1/3/2020 Double:1.25 err13 err13 Double:24 err13

' A Single meets a Double at the Single's precision.
WScript.Echo CSng(0.1) = 0.1, CSng(0.001 * 0.001) = 0.000001, CDbl(CSng(0.1)) = 0.1
' expect: True True False

' Compare arguments are 0 or 1; Null arguments raise 94, checked in the language's order.
WScript.Echo Table(Array("InStr(1, ""ab"", ""b"", 2)", "InStr(1, ""ab"", ""b"", Null)", "InStr(Null, ""ab"", ""b"")", "InStr(1, ""ab"", Null)", _
  "InStrRev(""ab"", Null)", "InStrRev(""ab"", ""b"", -20)", "Replace(""ab"", ""a"", ""x"", 1, -1, 8)", "Replace(""ab"", Null, ""x"")", _
  "Split(""a-b"", ""-"", -1, 2)", "StrComp(""a"", ""b"", 2)", "Filter(Array(""a""), ""a"", True, 2)"))
' expect: err5 err94 err94 Null err94 err5 err5 err94 err5 err5 err5
WScript.Echo Table(Array("Mid(""test"", ""a"", Null)", "Mid(""test"", ""a"", Empty)", "Mid(Null, -1, 1)", "Mid(""test"", Null, 2)", _
  "Right(Null, -1)", "Left(Null, -1)", "Right(Null, 1)", "Mid(Null, 2)"))
' expect: err94 err13 err5 err94 err5 err5 Null Null

' Dates: DateSerial stays within 100..9999; the first-day and count arguments are checked
' before a Null date gives Null.
WScript.Echo Table(Array("DateSerial(10000, 1, 1)", "DateSerial(-10000, 1, 1)", "DateSerial(99, 12, 31)", "DateSerial(2000, 1, Null)", _
  "Weekday(Null, 10)", "Weekday(Null, Null)", "Weekday(Null, ""a"")", "Weekday(Null)", "DateAdd(""q"", Null, Now)", "DateAdd(""q"", 1, Null)", _
  "MonthName(""a"", Null)", "MonthName(13)"))
' expect: err5 err5 Date:12/31/1999 err94 err5 err94 err13 Null err94 Null err94 err5

' The Format functions refuse a Null value as a type mismatch, a Null option as Null.
WScript.Echo Table(Array("FormatNumber(Null)", "FormatCurrency(Null)", "FormatPercent(Null)", "FormatDateTime(Null)", _
  "FormatNumber(1, Null)", "FormatDateTime(0, Null)"))
' expect: err13 err13 err13 err13 err94 err94

' CreateObject's server: this machine under any of its names; another one is unreachable.
WScript.Echo Table(Array("TypeName(CreateObject(""Scripting.Dictionary"", """"))", "TypeName(CreateObject(""Scripting.Dictionary"", "".""))", _
  "TypeName(CreateObject(""Scripting.Dictionary"", ""\\localhost""))", "TypeName(CreateObject(""Scripting.Dictionary"", ""127.0.0.1""))", _
  "CreateObject(""Scripting.Dictionary"", ""fileserver.invalid"")", "CreateObject(""No.Such"", ""."")"))
' expect: String:Dictionary String:Dictionary String:Dictionary String:Dictionary err462 err429

' The numeric conversions give nothing a statement can hold: 458 after converting;
' Randomize gives no value.
Function Stmt(code)
  On Error Resume Next
  Execute code
  Stmt = Err.Number
End Function
WScript.Echo Stmt("Call CLng(1)"), Stmt("Call CByte(""x"")"), Stmt("Call CDate(1)"), Stmt("Call CInt(""-1"")"), _
  Stmt("Call CStr(1)"), Stmt("Call CBool(1)"), Stmt("x = Randomize(1)"), Stmt("Randomize 1"), Stmt("Call Abs(-4)")
' expect: 458 13 458 458 0 0 13 0 0

Class Holder
  Public v
  Public Default Property Get Value
    Value = v
  End Property
End Class
Class Bare
End Class
