' Assigning through a chain of calls: the last index goes to the default member of the
' object the calls before it return, just as if that object sat in a variable first.
Set o = CreateObject("Scripting.Dictionary")
Set o("in") = CreateObject("Scripting.Dictionary")
o("in")("k") = 5
o.Item("in").Item("j") = 6
o("in")("k") = o("in")("k") + 1
WScript.Echo o("in")("k"), o("in")("j"), o("in").Count, o.Count
' expect: 6 6 2 1
Set o("in")("self") = o
WScript.Echo TypeName(o("in")("self")), o("in")("self")("in")("k")
' expect: Dictionary 6
Set o("in")("self") = Nothing
With o
  .Item("in")("w") = "with"
  WScript.Echo .Item("in")("w"), o("in").Keys()(3), o("in").Items()(1)
End With
' expect: with w 6

' The same through the host's objects: a process variable set in one statement.
Set sh = CreateObject("WScript.Shell")
sh.Environment("PROCESS")("SW_CHAIN_TEST") = "chained"
Set env = sh.Environment("PROCESS")
WScript.Echo env("SW_CHAIN_TEST"), sh.ExpandEnvironmentStrings("%SW_CHAIN_TEST%")
' expect: chained chained

' Script classes: a member of a returned object, and a default property with an argument.
Class Box
  Public Z
  Public Function Y(i) : Set Y = Me : End Function
  Public Default Property Get Slot(k) : Slot = "slot " & k & "=" & Z : End Property
  Public Property Let Slot(k, v) : Z = k & ":" & v : End Property
End Class
Set x = New Box
x.Y(1).Z = 2
WScript.Echo x.Z
' expect: 2
x.Y(1)("q") = 7
WScript.Echo x.Z, x.Y(2)("r")
' expect: q:7 slot r=q:7

' A script function's result indexed and assigned.
Dim kept
Function Make() : Set Make = CreateObject("Scripting.Dictionary") : Set kept = Make : End Function
Make()("k") = 9
WScript.Echo kept("k"), kept.Count
' expect: 9 1

' A result that is not an object has nothing to assign into, as when reading through it.
Function Pair() : Pair = Array(1, 2) : End Function
On Error Resume Next
Pair()(0) = 5
WScript.Echo Err.Number, Pair()(0)
' expect: 13 1
Err.Clear
o("missing")("k") = 1
WScript.Echo Err.Number, IsEmpty(o("missing"))
' expect: 13 True
