' The string library beyond the basics: the B-forms (on UTF-16 bytes), AscW/ChrW, Filter, Escape, compare
' arguments, Null handling and argument errors.
WScript.Echo LenB("abc"), LeftB("hello", 2), RightB("hello", 2), MidB("hello", 3, 4), InStrB("hello", "l"), InStrB(6, "hello", "l"), AscB("A"), Asc(ChrB(200)), AscB("€"), LenB("äb")
' expect: 6 h o el 5 7 65 200 172 4
WScript.Echo AscW(ChrW(8364)), Len(ChrW(8364)), AscW("A"), ChrW(65), AscW(ChrW(-1)), Len(ChrW(0))
' expect: 8364 1 65 A -1 1
WScript.Echo InStr(1, "ABCabc", "c", vbTextCompare), InStr(1, "ABCabc", "c", vbBinaryCompare), InStrRev("abcabc", "B", -1, 1), InStrRev("abcabc", "b", 4), InStrRev("abc", "x")
' expect: 3 6 5 2 0
WScript.Echo Replace("Hello hello", "HELLO", "bye", 1, -1, vbTextCompare), Replace("abc", "", "x"), Split("aXbxc", "x", -1, 1)(1), UBound(Split("a b", " ", 1))
' expect: bye bye abc b 0
WScript.Echo StrComp("abc", "ABD", 1), StrComp("B", "a", 0), StrComp("a", "a"), IsNull(StrComp(Null, "a")), String(3, 65), String(2, "xyz")
' expect: -1 -1 0 True AAA xx
Dim f: f = Filter(Array("apple", "Banana", "cherry", "grape"), "AP", True, vbTextCompare)
WScript.Echo UBound(f), Join(f, ","), Join(Filter(Array("apple", "Banana"), "an"), ","), Join(Filter(Array("apple", "Banana"), "an", False), ","), UBound(Filter(Array("x"), "y"))
' expect: 1 apple,grape Banana apple -1
WScript.Echo Escape("a b&c/d.e@f*g_h+i-j"), Unescape("%41%42%u0043%zz%4"), Unescape(Escape("x y;z")), IsNull(Escape(Null))
' expect: a%20b%26c/d.e@f*g_h+i-j ABC%zz%4 x y;z True
WScript.Echo Join(Array(1, 2.5, True, Null, "x"), "|"), Len(Space(0)), "[" & Trim(vbTab & " x ") & "]", StrReverse("")
' expect: 1|2.5|True||x 0 [	 x] 
WScript.Echo IsNull(Left(Null, 1)), IsNull(Mid(Null, 1)), IsNull(LCase(Null)), IsNull(Right(Null, 1)), IsNull(InStr(Null, "a")), IsNull(Trim(Null))
' expect: True True True True True True
' Each bad argument raises the language's error; one table of cases.
Dim cases, c
cases = Array("Left(""a"", -1)", "Mid(""a"", 0)", "Chr(256)", "ChrW(65536)", "Asc("""")", "AscW("""")", "Space(-1)", _
  "InStr(0, ""a"", ""a"")", "Split(""a"", "","", -2)", "Join(5)", "Asc(Null)", "Filter(Null, ""a"")", "Filter(5, ""a"")", _
  "String(-1, ""a"")", "Replace(""a"", ""a"", ""b"", 0)", "StrComp(""a"", ""b"", -1)", "Split(Null)", _
  "Replace(Null, ""a"", ""b"")")
On Error Resume Next
Dim out: out = ""
For Each c In cases
  Err.Clear
  Dim r: r = Eval(c)
  out = out & Err.Number & " "
Next
On Error GoTo 0
WScript.Echo out
' expect: 5 5 5 5 5 5 5 5 5 13 94 94 13 5 5 5 94 94 
