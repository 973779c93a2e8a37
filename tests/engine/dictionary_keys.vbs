' Scripting.Dictionary key identity: numbers by value whatever their subtype, strings
' binary or case-blind, objects by identity; insertion order survives removals and renames.
Set d = CreateObject("Scripting.Dictionary")
d.Add 1, "one"
WScript.Echo d(1.0), d(CLng(1)), d(CByte(1)), d(CCur(1)), d.Exists(CSng(1)), d.Exists("1")
' expect: one one one one True False
On Error Resume Next
d.Add 1.0, "again"
WScript.Echo Err.Number
' expect: 457
Err.Clear
On Error GoTo 0
d.Add "1", "text one"
d.Add 2.5, "two and a half"
WScript.Echo d.Count, d("1"), d(1), d(5 / 2), d.Exists(2), d.Exists("2.5")
' expect: 3 text one one two and a half False False

' Empty, the empty string and zero are three different keys.
Set e = CreateObject("Scripting.Dictionary")
e(Empty) = "empty"
e("") = "blank"
e(0) = "zero"
WScript.Echo e.Count, e(Empty), e(""), e(0), e(CDbl(0))
' expect: 3 empty blank zero zero

' Binary mode tells case apart; text mode does not, and keeps the first spelling.
Set b = CreateObject("Scripting.Dictionary")
b("Key") = 1
b("KEY") = 2
WScript.Echo b.Count, b("Key"), b("KEY"), b.Exists("key")
' expect: 2 1 2 False
Set t = CreateObject("Scripting.Dictionary")
t.CompareMode = vbTextCompare
t("Key") = 1
t("KEY") = 2
WScript.Echo t.Count, t("key"), Join(t.Keys, ","), t.Exists("kEy"), t.Exists("Ke")
' expect: 1 2 Key True False
t.Remove "kEY"
WScript.Echo t.Count, t.Exists("Key")
' expect: 0 False

' Objects are keys by identity, not by content or default value.
Set o1 = CreateObject("Scripting.Dictionary")
Set o2 = CreateObject("Scripting.Dictionary")
Set k = CreateObject("Scripting.Dictionary")
k.Add o1, "first"
k.Add o2, "second"
Set same = o1
WScript.Echo k.Count, k(same), k(o2), k.Exists(o1), k.Exists(Nothing)
' expect: 2 first second True False

' Key renames in place: the old name is gone, the new one found, the order kept; renaming
' to a name in use or from a missing one fails and changes nothing.
Set r = CreateObject("Scripting.Dictionary")
r.Add "a", 1: r.Add "b", 2: r.Add "c", 3
r.Key("b") = 20
WScript.Echo Join(r.Keys, ","), r(20), r.Exists("b"), r.Exists("20")
' expect: a,20,c 2 False False
On Error Resume Next
r.Key("a") = "c"
WScript.Echo Err.Number, Join(r.Keys, ",")
' expect: 457 a,20,c
Err.Clear
r.Key("zz") = "y"
WScript.Echo Err.Number, Join(r.Keys, ",")
' expect: 32811 a,20,c
Err.Clear
r.Remove "b"
WScript.Echo Err.Number, r.Count
' expect: 32811 3
Err.Clear
x = r(Array(1))
WScript.Echo Err.Number
' expect: 13
Err.Clear
On Error GoTo 0

' Many removals compact the store; order and lookups must survive it and later growth.
Set m = CreateObject("Scripting.Dictionary")
For i = 1 To 2000: m.Add "k" & i, i: Next
For i = 1 To 2000 Step 2: m.Remove "k" & i: Next
For i = 1 To 2000 Step 4: m.Add "k" & i, -i: Next
ok = True
For i = 2 To 2000 Step 2
  If m("k" & i) <> i Then ok = False
Next
For i = 3 To 2000 Step 4
  If m.Exists("k" & i) Then ok = False
Next
ks = m.Keys
WScript.Echo ok, m.Count, ks(0), ks(999), ks(1000), ks(1499), m("k1"), m("k1997")
' expect: True 1500 k2 k2000 k1 k1997 -1 -1997

' CompareMode may change again once the dictionary is empty, whichever way it emptied.
m.RemoveAll
m.CompareMode = vbTextCompare
m("A") = 1
m.Remove "a"
m.CompareMode = vbBinaryCompare
m("A") = 1
WScript.Echo m.Exists("a"), m.Exists("A"), m.CompareMode
' expect: False True 0
