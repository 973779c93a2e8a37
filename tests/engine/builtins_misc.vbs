' Conversions, inspection, dates and random numbers of the built-in table.
WScript.Echo Rnd, Rnd
' expect: 0.7055475 0.533424
Dim a: a = Rnd(-3): Dim b: b = Rnd
Dim c: c = Rnd(-3): Dim d: d = Rnd
WScript.Echo a = c, b = d, Rnd(0) = d
' expect: True True True
WScript.Echo CBool("true"), CBool(0), CBool("1"), CStr(True), CStr(-1.5), CStr(#3/4/2005#)
' expect: True False True True -1.5 3/4/2005
WScript.Echo VarType(Empty), VarType(Null), VarType(1), VarType(CLng(1)), VarType("s"), VarType(True), VarType(Nothing), VarType(CCur(1)), VarType(CByte(1))
' expect: 0 1 2 3 8 11 9 6 17
WScript.Echo TypeName(Empty), TypeName(Null), TypeName(Nothing), TypeName(CSng(1)), TypeName(Now)
' expect: Empty Null Nothing Single Date
WScript.Echo IsNumeric("12.5"), IsNumeric("abc"), IsNumeric(Empty), IsNumeric("1e5"), IsNumeric(Null)
' expect: True False True True False
WScript.Echo IsNumeric(""), IsNumeric(" 1. "), IsNumeric("&HFF"), CDbl("$1.5"), CLng("-$1,000")
' expect: False True True 1.5 -1000
WScript.Echo Int(-2.5), Fix(-2.5), Int(2.7), Abs(-3), Sgn(-0.1), Sqr(16), TypeName(Int(2.5))
' expect: -3 -2 2 3 -1 4 Double
WScript.Echo Year(#2/29/2004#), Month(#2/29/2004#), Day(#2/29/2004#), Weekday(#2/29/2004#)
' expect: 2004 2 29 1
WScript.Echo Hour(#1:02:03 PM#), Minute(#1:02:03 PM#), Second(#1:02:03 PM#)
' expect: 13 2 3
WScript.Echo DateSerial(2003, 13, 1), DateSerial(2003, 3, 0), TimeSerial(25, 0, 0)
' expect: 1/1/2004 2/28/2003 12/31/1899 1:00:00 AM
WScript.Echo IsDate("1/2/2003"), IsDate("hello"), CDate("March 5, 2001"), CDate("2001-03-05 14:30")
' expect: True False 3/5/2001 3/5/2001 2:30:00 PM
WScript.Echo IsDate(Now), Now > #1/1/2020#, Timer >= 0, Date = Int(Now)
' expect: True True True True
WScript.Echo LBound(Array()), UBound(Array()), ScriptEngine
' expect: 0 -1 VBScript
