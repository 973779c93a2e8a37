' String built-ins. Strings are bytes: Len counts bytes.
WScript.Echo Len("hello"), Len(""), IsNull(Len(Null)), Len(12345)
' expect: 5 0 True 5
WScript.Echo Left("hello", 2), Right("hello", 3), Mid("hello", 2), Mid("hello", 2, 2), Mid("hi", 5) & "|"
' expect: he llo ello el |
WScript.Echo InStr("hello", "l"), InStr(4, "hello", "l"), InStr("hello", "z"), InStr(1, "HELLO", "l", 1), InStr("abc", "")
' expect: 3 4 0 3 1
WScript.Echo InStrRev("hello", "l"), LCase("MiXeD"), UCase("MiXeD"), "[" & Trim("  a b  ") & "]", "[" & LTrim("  a ") & "]", "[" & RTrim(" a  ") & "]"
' expect: 4 mixed MIXED [a b] [a ] [ a]
WScript.Echo Replace("a.b.c", ".", "-"), Replace("aXbxc", "x", "_", 1, -1, 1), Replace("abcabc", "b", "", 3), Replace("aaa", "a", "b", 1, 2)
' expect: a-b-c a_b_c cac bba
Dim parts: parts = Split("a,b,,c", ",")
WScript.Echo UBound(parts), parts(2) = "", Join(parts, "+"), UBound(Split("")), Join(Split("x y z"))
' expect: 3 True a+b++c -1 x y z
WScript.Echo UBound(Split("a,b,c", ",", 2)), Split("a,b,c", ",", 2)(1)
' expect: 1 b,c
WScript.Echo Chr(65), Asc("A"), Asc("abc"), Space(3) & "|", String(3, "x"), StrReverse("abc")
' expect: A 65 97    | xxx cba
WScript.Echo StrComp("a", "B"), StrComp("a", "A", 1), StrComp("b", "a"), Hex(255), Hex(-1), Oct(8)
' expect: 1 0 1 FF FFFF 10
WScript.Echo "She said ""hi""", Len("tab" & vbTab), Len(vbCrLf)
' expect: She said "hi" 4 2
Dim s
For i = 1 To 5
  s = s & i & ","
Next
WScript.Echo s
' expect: 1,2,3,4,5,
Dim t: t = "abc"
Dim u: u = t
u = u & "d"
WScript.Echo t, u
' expect: abc abcd
