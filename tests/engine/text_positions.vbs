' Positions in long text that is not ASCII: every character is where its code unit list
' says, whichever way a loop walks (forwards, backwards, at random), after appends of
' every kind (ASCII onto wide text, a lone lead surrogate then its trail, pairs), and
' with the length and the end read between appends.
Dim pieces, t, codes(), n, i, k, p, bad, c, seed
' ASCII, Latin-1, BMP, a pair, a lone lead, a lone trail, a lead that the next piece
' (a trail) completes.
pieces = Array("a", "ä", "€", ChrW(&HD83D) & ChrW(&HDE00), "xyz", ChrW(&HD800), "Ω", _
               ChrW(&HDFFF), "bc", ChrW(&HD83D), ChrW(&HDE01), "客厅", "q")
ReDim codes(6000)
t = "": n = 0
seed = 12345
Function NextRandom(m)
  seed = (seed * 75 + 74) Mod 65537
  NextRandom = seed Mod m
End Function
' Appends with the length and the last character checked after each.
For i = 1 To 1500
  c = pieces(NextRandom(UBound(pieces) + 1))
  t = t & c
  For k = 1 To Len(c): codes(n + k) = AscW(Mid(c, k, 1)): Next
  n = n + Len(c)
  If Len(t) <> n Then WScript.Echo "length after append " & i & ": " & Len(t) & " <> " & n: bad = True: Exit For
  If AscW(Right(t, 1)) <> codes(n) Then WScript.Echo "end after append " & i: bad = True: Exit For
  If i Mod 97 = 0 Then
    ' Now and then a position far back, so that later appends extend a built index.
    p = NextRandom(n) + 1
    If AscW(Mid(t, p, 1)) <> codes(p) Then WScript.Echo "middle after append " & i: bad = True
  End If
Next
For p = n To 1 Step -1
  If AscW(Mid(t, p, 1)) <> codes(p) Then WScript.Echo "backward at " & p: bad = True: Exit For
Next
For k = 1 To 3000
  p = NextRandom(n) + 1
  If AscW(Mid(t, p, 1)) <> codes(p) Then WScript.Echo "random at " & p: bad = True: Exit For
  ' Two units from a random place: a pair cut at either end keeps its half.
  c = Mid(t, p, 2)
  If AscW(Right(c, 1)) <> codes(p + Len(c) - 1) Then WScript.Echo "pair cut at " & p: bad = True: Exit For
  If Left(t, p) & Mid(t, p + 1) <> t Then WScript.Echo "halves at " & p: bad = True: Exit For
Next
For p = 1 To n
  If AscW(Mid(t, p, 1)) <> codes(p) Then WScript.Echo "forward at " & p: bad = True: Exit For
Next
' InStr from positions backwards finds the next "客" as the code list says.
Dim want
want = 0
For p = n To 1 Step -1
  If codes(p) = AscW("客") Then want = p
  If p Mod 7 = 0 Then
    If InStr(p, t, "客") <> want Then WScript.Echo "InStr from " & p: bad = True: Exit For
  End If
Next
' InStrRev up to every fifth position finds the last "客" before it; walking backwards
' from the end it finds every "😀" (a pair) that the code list holds.
Dim lastSeen, pairs, found
lastSeen = 0: pairs = 0
For p = 1 To n
  If codes(p) = AscW("客") Then lastSeen = p
  If p < n Then If codes(p) = -10179 And codes(p + 1) = -8704 Then pairs = pairs + 1
  If p Mod 5 = 0 Then
    If InStrRev(t, "客", p) <> lastSeen Then WScript.Echo "InStrRev to " & p: bad = True: Exit For
  End If
Next
found = 0: p = InStrRev(t, "😀")
Do While p > 0
  found = found + 1
  If codes(p) <> -10179 Then WScript.Echo "InStrRev pair at " & p: bad = True: Exit Do
  If p < 2 Then Exit Do
  p = InStrRev(t, "😀", p)
Loop
If found <> pairs Then WScript.Echo "InStrRev found " & found & " pairs of " & pairs: bad = True
If Not bad Then WScript.Echo "all positions"
' expect: all positions

' A lone lead at the end, then its trail: one character of two units. The end was read
' just before (so the last position found is the old end), or a slice to the end indexed
' the whole text: both must move back to the start of the pair.
Dim s
s = String(300, "ö") & ChrW(&HD83D)
WScript.Echo Len(s), AscW(Right(s, 1))
' expect: 301 -10179
s = s & ChrW(&HDE00)
WScript.Echo Len(s), AscW(Right(s, 1)), AscW(Mid(s, 300, 1)), AscW(Mid(s, 301, 1)), s = String(300, "ö") & "😀"
' expect: 302 -8704 246 -10179 True
s = s & "abc"
WScript.Echo Len(s), Right(s, 4) = ChrW(&HDE00) & "abc", InStr(s, "b"), Mid(s, 2, 1)
' expect: 305 True 304 ö
s = String(319, "ö") & ChrW(&HD83D)
WScript.Echo Len(Left(s, Len(s)))
' expect: 320
s = s & ChrW(&HDE00)
s = s & String(200, "ü")
y = Mid(s, 1, 1)
WScript.Echo Len(s), AscW(Mid(s, 500, 1)), AscW(Mid(s, 321, 1)), AscW(Mid(s, 320, 1)), InStr(s, "ü"), Mid(s, 322) = String(200, "ü")
' expect: 521 252 -8704 -10179 322 True
