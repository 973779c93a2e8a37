' Scripting.Dictionary, registered in the engine's table of standard objects.
Set d = CreateObject("Scripting.Dictionary")
d.Add "a", 1
d.Add "b", "two"
d("c") = 3
WScript.Echo d.Count, d("a"), d.Item("b"), d.Exists("c"), d.Exists("z"), TypeName(d)
' expect: 3 1 two True False Dictionary
For Each k In d: s = s & k & "=" & d(k) & " ": Next
WScript.Echo s
' expect: a=1 b=two c=3 
d.Key("a") = "aa"
d.Remove "b"
WScript.Echo Join(d.Keys, ","), Join(d.Items, ",")
' expect: aa,c 1,3
x = d("missing")
WScript.Echo d.Count, IsEmpty(x)
' expect: 3 True
On Error Resume Next
d.Add "c", 5
WScript.Echo Err.Number, Err.Description
' expect: 457 This key is already associated with an element of this collection
Err.Clear
d.Remove "nope"
WScript.Echo Err.Number, Err.Description
' expect: 32811 Element not found
On Error GoTo 0
Set d2 = CreateObject("Scripting.Dictionary")
d2.CompareMode = 1
d2("Key") = 1
WScript.Echo d2.Exists("KEY"), d.Exists("C")
' expect: True False
d2(1) = "one"
WScript.Echo d2(1.0), d2.Exists("1")
' expect: one False
Set d2("obj") = d
WScript.Echo d2("obj").Count
' expect: 3
d.RemoveAll
WScript.Echo d.Count
' expect: 0
Set u = CreateObject("No.Such.Thing")
' expect error: (41, 1) error 429: ActiveX component can't create object
