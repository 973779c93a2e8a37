' RegExp works on the language's characters, UTF-16 code units: a surrogate can be named in
' a class or an escape and matched alone, `.` takes one unit (an emoji is two), FirstIndex
' and Length count units. IgnoreCase folds beyond ASCII while \d \s \w \b keep their ASCII
' meaning. The limits are those of ASCII text.
Dim re, ms, m, out, r
Set re = New RegExp
re.Global = True
' The usual way to strip emoji: a lead then a trail surrogate.
re.Pattern = "[\uD800-\uDBFF][\uDC00-\uDFFF]"
Set ms = re.Execute("a😀bé😁")
WScript.Echo re.Replace("a😀bé😁c", ""), ms.Count, ms(0).FirstIndex, ms(0).Length, ms(1).FirstIndex, ms(1).Value = "😁"
' expect: abéc 2 1 2 5 True
re.Pattern = "^..$"
WScript.Echo re.Test("😀"), re.Test("é"), re.Test("éa")
' expect: True False True
re.Pattern = "."
Set ms = re.Execute("😀é")
WScript.Echo ms.Count, AscW(ms(0).Value), AscW(ms(1).Value), ms(1).FirstIndex, ms(2).FirstIndex
' expect: 3 -10179 -8704 1 2
' One half alone: found, replaced, and the other half stays as it was.
re.Pattern = "\uDE00"
r = re.Replace("x😀y😀", "-")
WScript.Echo re.Execute("x😀y😀")(1).FirstIndex, Len(r), AscW(Mid(r, 2, 1)), Mid(r, 3, 2), AscW(Right(r, 2))
' expect: 5 6 -10179 -y -10179
' Groups that cut a pair, swapped by the replacement: two lone surrogates in the new order.
re.Pattern = "(\uD83D)(\uDE00)"
r = re.Replace("😀", "$2$1")
Set m = re.Execute("a😀")(0)
WScript.Echo Len(r), AscW(r), AscW(Mid(r, 2)), m.SubMatches.Count, AscW(m.SubMatches(1)), m.FirstIndex
' expect: 2 -8704 -10179 2 -8704 1
' Replacement parts around matches in text with pairs: $` and $'.
re.Pattern = "b"
WScript.Echo re.Replace("😀b€", "[$`|$']")
' expect: 😀[😀|€]€
' An empty match moves on by one unit, also between the halves of a pair.
re.Pattern = "x*"
WScript.Echo re.Replace("😀é", "-") = "-" & ChrW(&HD83D) & "-" & ChrW(&HDE00) & "-é-", re.Execute("😀").Count
' expect: True 3

' IgnoreCase beyond ASCII, the ASCII classes unchanged, inside and outside brackets.
re.IgnoreCase = True
Dim rows, row, bad
rows = Array( _
  Array("ⓐ+", "xⒶⓐⒶy", "x[ⒶⓐⒶ]y"), _
  Array("ⅰⅴ", "ⅠⅤ", "[ⅠⅤ]"), _
  Array("Ü(\w)", "xÜh Küche", "x[Üh] K[üc]he"), _
  Array("\w+", "Grüße", "[Gr]üß[e]"), _
  Array("[\w]+", "Grüße", "[Gr]üß[e]"), _
  Array("[^\W]+", "Grüße", "[Gr]üß[e]"), _
  Array("\bK", "kü Küche xk", "[k]ü [K]üche xk"), _
  Array("ü\B", "üa ü", "üa [ü]"), _
  Array("\d", "1٣", "[1]٣"), _
  Array("[\d]", "1٣", "[1]٣"), _
  Array("\D", "1٣", "1[٣]"), _
  Array("[\D]", "1٣", "1[٣]"), _
  Array("\s", "a b" & ChrW(160) & "c", "a[ ]b" & ChrW(160) & "c"), _
  Array("[\S]+", "é b", "[é] [b]"), _
  Array("[^\S]", "é" & ChrW(160) & " b", "é" & ChrW(160) & "[ ]b"), _
  Array("[]é]", "]é", "]é"), _
  Array("\Q\w\E", "\wé", "[\w]é"))
For Each row In rows
  re.Pattern = row(0)
  r = re.Replace(row(1), "[$&]")
  If r <> row(2) Then WScript.Echo "pattern " & row(0) & " on " & row(1) & " gave " & r: bad = True
Next
If Not bad Then WScript.Echo "all rows"
' expect: all rows

' The limits on text that is not ASCII: nesting (5017) and a search that backtracks
' exponentially at one position (28), as on ASCII text.
On Error Resume Next
re.IgnoreCase = False
Dim subject, p, e1
subject = String(60, "é") & "!c"
For Each p In Array(String(20000, "(") & "é" & String(20000, ")"), String(251, "(") & "é" & String(251, ")"), "(é|éé)*c")
  r = Empty: Err.Clear: re.Pattern = p: r = re.Test(subject): e1 = Err.Number
  Err.Clear: r = re.Replace(subject, "x"): WScript.Echo e1, Err.Number, IsEmpty(r)
Next
' expect: 5017 5017 True
' expect: 5017 5017 True
' expect: 28 28 True
Err.Clear: re.Pattern = String(250, "(") & "é" & String(250, ")")
WScript.Echo re.Test("é"), re.Execute("xé")(0).SubMatches.Count, Err.Number
' expect: True 250 0
