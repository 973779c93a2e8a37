' Subtypes and promotion of arithmetic results.
WScript.Echo TypeName(1), TypeName(32767), TypeName(32768), TypeName(2147483648), TypeName(1.5)
' expect: Integer Integer Long Double Double
WScript.Echo TypeName(32767 + 1), 32767 + 1, TypeName(2147483647 + 1)
' expect: Long 32768 Double
WScript.Echo TypeName(-32768), TypeName(&HFFFF), &HFFFF, &HFFFF&, &H10000, &O17, &HFFFFFFFF
' expect: Long Integer -1 65535 65536 15 -1
' With the & suffix the 32-bit value decides the subtype, as for any other number.
WScript.Echo TypeName(&H10&), TypeName(&HFFFF&), TypeName(&HFFFFFFFE&), &HFFFFFFFE&, TypeName(&H8000&)
' expect: Integer Long Integer -2 Long
WScript.Echo 7 \ 2, -7 \ 2, 7 Mod 3, -7 Mod 3, 7.5 Mod 2, TypeName(7 \ 2)
' expect: 3 -3 1 -1 0 Integer
WScript.Echo 2 ^ 10, TypeName(2 ^ 2), -2 ^ 2, 2 ^ -1, 2 ^ 3 ^ 2
' expect: 1024 Double 4 0.5 64
WScript.Echo 10 / 4, TypeName(10 / 2), 1 / 3
' expect: 2.5 Double 0.333333333333333
WScript.Echo 1E+16, 1.5E-7, 123456789012345, 0.1 + 0.2, 1e15, 100000000000000
' expect: 1E+16 1.5E-07 123456789012345 0.3 1E+15 100000000000000
WScript.Echo CInt(2.5), CInt(3.5), CInt(-2.5), CLng(1.5), Round(2.5), Round(3.5), Round(1.2345, 2)
' expect: 2 4 -2 2 2 4 1.23
WScript.Echo "5" + 3, TypeName("5" + 3), "5" & 3, "a" + "b", 5 + Empty, TypeName(Empty + Empty)
' expect: 8 Double 53 ab 5 Integer
WScript.Echo True + True, TypeName(True + 1), -True
' expect: -2 Integer 1
WScript.Echo IsNull(Null + 1), IsNull(Null & Null), "x" & Null & "y"
' expect: True True xy
Dim b: b = CByte(200)
WScript.Echo TypeName(b + CByte(50)), TypeName(b + CByte(100)), b + CByte(100)
' expect: Byte Integer 300
WScript.Echo TypeName(CCur(1.5) * 2), CCur(1.23456), CCur(10) / 4
' expect: Currency 1.2346 2.5
' Currency + - * are exact in scaled 64-bit integers, past the 15 digits of a Double, and
' overflow (6) beyond its range instead of rounding.
Dim cy, n: cy = CCur(1)
For n = 1 To 45: cy = cy + cy: Next
WScript.Echo cy + CCur(1), cy * 2 + 1, cy - CCur(0.0001), TypeName(cy * 2)
' expect: 35184372088833 70368744177665 35184372088831.9999 Currency
WScript.Echo CCur(1.5) * CCur(2.25), CCur(0.1) + CCur(0.2) = CCur(0.3), CCur(2.5) - 7, CCur(3) * -7
' expect: 3.375 True -4.5 -21
WScript.Echo TypeName(CCur(1) * 2.5), TypeName(CCur(1) + True), CCur(1) + True
' expect: Double Currency 0
On Error Resume Next
cy = CCur(900000000000000) + CCur(900000000000000)
WScript.Echo Err.Number
' expect: 6
On Error GoTo 0
WScript.Echo TypeName(CSng(1.5) + 1), CSng(1) / 3
' expect: Single 0.3333333
Dim d: d = #1/31/2003#
WScript.Echo d + 1, TypeName(d + 1), TypeName(d - #1/1/2003#), d - #1/1/2003#
' expect: 2/1/2003 Date Double 30
WScript.Echo CDbl("1e3"), CLng("&H10"), CDbl(" 12.5 "), CLng("1,000")
' expect: 1000 16 12.5 1000
On Error Resume Next
x = 32767: x = x * 2
WScript.Echo x, TypeName(x)
' expect: 65534 Long
x = CInt(40000)
WScript.Echo Err.Number
' expect: 6
Err.Clear
x = 5 \ 0
WScript.Echo Err.Number
' expect: 11
Err.Clear
x = 0 / 0
WScript.Echo Err.Number
' expect: 6
Err.Clear
x = "abc" * 2
WScript.Echo Err.Number
' expect: 13
Err.Clear
x = Null + CInt(Null)
WScript.Echo Err.Number
' expect: 94
