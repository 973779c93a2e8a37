' Strings are UTF-16 code units: every built-in counts characters, not bytes. One table of
' expressions with the language's results (checked against a UTF-16 engine); a failing row
' prints itself.
Dim rows, r, got, bad
rows = Array( _
  Array("Len(""Küche"")", 5), _
  Array("Mid(""Küche"", 2, 1)", "ü"), _
  Array("UCase(""küche"")", "KÜCHE"), _
  Array("AscW(""ä"")", 228), _
  Array("Len(ChrW(8364))", 1), _
  Array("Asc(ChrW(8364))", 128), _
  Array("AscW(Chr(128))", 8364), _
  Array("StrReverse(""äb"")", "bä"), _
  Array("Escape(""ä"")", "%E4"), _
  Array("Escape(""€ x"")", "%u20AC%20x"), _
  Array("Unescape(""%E4%u20AC%uD83D%uDE00"")", "ä€😀"), _
  Array("Len(""😀"")", 2), _
  Array("AscW(""😀"")", -10179), _
  Array("AscW(Mid(""😀"", 2))", -8704), _
  Array("ChrW(&HD83D) & ChrW(&HDE00) = ""😀""", True), _
  Array("Len(StrReverse(""a😀""))", 3), _
  Array("Left(""客厅灯"", 2)", "客厅"), _
  Array("AscW(Mid(""a😀b"", 3, 2))", -8704), _
  Array("Mid(""a😀b"", 3, 2) = ChrW(&HDE00) & ""b""", True), _
  Array("Left(""a😀"", 2) = ""a"" & ChrW(&HD83D)", True), _
  Array("Right(""😀b"", 2) = ChrW(&HDE00) & ""b""", True), _
  Array("Mid(""x😀😀y"", 2, 4)", "😀😀"), _
  Array("InStr(2, ""😀x😀x"", ""x"")", 3), _
  Array("InStr(4, ""😀x😀x"", ""x"")", 6), _
  Array("InStr(""😀x😀x"", ChrW(&HDE00))", 2), _
  Array("Right(""Séjour"", 5)", "éjour"), _
  Array("InStr(""Salón Ψυγείο"", ""Ψ"")", 7), _
  Array("InStr(1, ""ΨΥΓΕΊΟ"", ""ψυγείο"", vbTextCompare)", 1), _
  Array("InStrRev(""äöäö"", ""ä"")", 3), _
  Array("LCase(""ΨΥΓΕΊΟ ÄÖÜ"")", "ψυγείο äöü"), _
  Array("UCase(""straße ÿ"")", "STRAßE Ÿ"), _
  Array("Replace(""Küche Küche"", ""KÜ"", ""Ku"", 1, -1, vbTextCompare)", "Kuche Kuche"), _
  Array("Replace(""°C°C"", ""°"", """", 2)", "CC"), _
  Array("Replace(""Küche 😀"", ""ü"", ""ue"")", "Kueche 😀"), _
  Array("Replace(""a"" & ChrW(&HD83D) & ""b"", ""b"", ChrW(&HDE00)) = ""a😀""", True), _
  Array("Join(Split(""a·b·c"", ""·""), ""|"")", "a|b|c"), _
  Array("UBound(Split(""ü ü ü""))", 2), _
  Array("String(3, ""é"")", "ééé"), _
  Array("Len(Space(2) & ""€"")", 3), _
  Array("StrComp(""äb"", ""ÄB"", vbTextCompare)", 0), _
  Array("StrComp(""äb"", ""ÄB"")", 1), _
  Array("""Küche"" = ""KÜCHE""", False), _
  Array("Chr(128) = ChrW(8364)", True), _
  Array("Asc(ChrW(1000))", 63), _
  Array("Chr(228)", "ä"), _
  Array("LenB(""ä€"")", 4), _
  Array("AscB(""€"")", 172), _
  Array("MidB(""äb"", 3, 2)", "b"), _
  Array("InStrB(""äb"", ""b"")", 3), _
  Array("Trim(""  Küche  "")", "Küche"), _
  Array("UCase(""ⓐⓩⒶ"")", "ⒶⓏⒶ"), _
  Array("LCase(""ⒶⓏⓐ"")", "ⓐⓩⓐ"), _
  Array("UCase(""ⅰⅿⅯ"")", "ⅠⅯⅯ"), _
  Array("LCase(""ⅠⅯⅰ"")", "ⅰⅿⅰ"), _
  Array("AscW(UCase(ChrW(&H345)))", 921), _
  Array("StrComp(""ⓚⅳ"", ""ⓀⅣ"", vbTextCompare)", 0), _
  Array("InStr(1, ""xⒶⅡ"", ""ⓐⅱ"", vbTextCompare)", 2), _
  Array("Filter(Array(""Küche"", ""Bad""), ""KÜ"", True, vbTextCompare)(0)", "Küche"))
For Each r In rows
  got = Eval(r(0))
  If CStr(got) <> CStr(r(1)) Then WScript.Echo "row " & r(0) & " gave " & got: bad = True
Next
If Not bad Then WScript.Echo "all rows"
' expect: all rows

' Walking forward through a long text by position finds every character.
Dim t, p, n, ok: t = Replace(Space(2000), " ", "Kü😀e ")
p = InStr(t, "e"): n = 0
Do While p > 0: n = n + 1: p = InStr(p + 1, t, "e"): Loop
ok = True
For p = 1 To 60: If Mid(t, p, 1) <> Mid("Kü😀e Kü😀e Kü😀e Kü😀e Kü😀e Kü😀e Kü😀e Kü😀e Kü😀e Kü😀e ", p, 1) Then ok = False
Next
WScript.Echo n, Len(t), ok, AscW(Mid(t, Len(t) - 3, 1)), InStrRev(t, "ü")
' expect: 2000 12000 True -10179 11996

' RegExp matches code units, the language's characters (`.` takes each half of a pair);
' IgnoreCase folds beyond ASCII, \w stays ASCII.
Dim re, ms, m, out
Set re = New RegExp
re.Pattern = "ü(\w)": re.IgnoreCase = True: re.Global = True
Set ms = re.Execute("xÜh Küche üß")
For Each m In ms: out = out & m.FirstIndex & ":" & m.Length & ":" & m.Value & " ": Next
WScript.Echo out, ms.Count
' expect: 1:2:Üh 5:2:üc  2
re.Pattern = "."
WScript.Echo re.Execute("😀é").Count, re.Replace("aé€", "[$&]"), re.Execute("€x")(1).FirstIndex
' expect: 3 [a][é][€] 1
re.Pattern = "\w+": re.IgnoreCase = False
WScript.Echo re.Replace("Grüße, Küche", "<$&>")
' expect: <Gr>üß<e>, <K>ü<che>

' Dictionary keys in text mode fold beyond ASCII.
Dim d: Set d = CreateObject("Scripting.Dictionary"): d.CompareMode = vbTextCompare
d("Küche") = 1: d("Ψυγείο") = 2
WScript.Echo d.Exists("KÜCHE"), d("ΨΥΓΕΊΟ"), d.Exists("Kuche"), d.Count
' expect: True 2 False 2

' Binary order is code unit order: a character past U+FFFF (a pair) sorts before U+E000..U+FFFF.
WScript.Echo StrComp("😀", ChrW(&HFF01)), StrComp(ChrW(&HFF01), "😀"), "a😀" < "a" & ChrW(&HE000), StrComp("ab", "a"), "Küche" < "Kz", StrComp(ChrW(&HDC00), "😀")
' expect: -1 1 True 1 False 1
