' How a name inside a procedure is found: a local of the call (declared, a parameter, or
' made by an earlier assignment in this call), else a script-level name that exists when
' the call first uses it (declared, Const, procedure, class, or assigned by script-level
' code that already ran), else a new local. Every mention in a procedure, not only the
' first, must reach the same variable.
Const LIMIT = 10
Const ForReading = 1
Function Clamp(n)
  If n > LIMIT Then Clamp = LIMIT Else Clamp = n
  If LIMIT <> 10 Then Clamp = "LIMIT read as " & TypeName(LIMIT)
End Function
WScript.Echo Clamp(50), Clamp(3)
' expect: 10 3

' An implicit script-level variable, created before the procedure runs but after it
' was compiled: read, written and read again in the procedure.
counter = 0
Sub Bump : counter = counter + 1 : counter = counter + 0 : End Sub
Bump : Bump : Bump
WScript.Echo counter
' expect: 3

' Passing by reference: the script-level variable itself; a Const goes by value, to a
' script procedure and to an object's method alike.
Sub AddTo(ByRef target, amount) : target = target + amount : End Sub
Sub Passes()
  AddTo counter, 10
  AddTo counter, 1
  AddTo LIMIT, 5
  AddTo LIMIT, 5
  Dim d : Set d = CreateObject("Scripting.Dictionary")
  d.Add LIMIT, ForReading
  d.Add "other", LIMIT
  WScript.Echo counter, LIMIT, d(LIMIT), d("other")
End Sub
Passes
' expect: 14 10 1 10

' The cases as a table: what each procedure prints about `shared`, a variable the
' script-level code creates (or not) around the calls.
Sub ReadOnly() : WScript.Echo "read", TypeName(shared), shared, shared : End Sub
Sub WriteThenRead() : shared = shared & "+w" : WScript.Echo "write", shared, shared : End Sub
Sub ReadDoesNotCreate()
  WScript.Echo "before", IsEmpty(shared)
  ExecuteGlobal "shared = ""made"""
  WScript.Echo "after", shared
End Sub
ReadDoesNotCreate
' expect: before True
' expect: after made
ReadOnly
' expect: read String made made
WriteThenRead : WriteThenRead
' expect: write made+w made+w
' expect: write made+w+w made+w+w
ExecuteGlobal "Sub Recompiled() : WScript.Echo ""recompiled"", shared, shared : End Sub"
Recompiled
' expect: recompiled made+w+w made+w+w
LocalFirstTwice

Sub LocalFirstTwice()
  ' A fresh name each time: the first call makes a local, the global appears meanwhile,
  ' the second call finds the global.
  ExecuteGlobal "Sub Probe() : fresh = fresh & ""p"" : ExecuteGlobal ""If IsEmpty(fresh) Then fresh = 1"" : WScript.Echo fresh : End Sub"
  Probe
  Probe
End Sub
' expect: p
' expect: 1p

' Implicit locals belong to one call: recursion does not share them.
Function Depth(n)
  mark = n
  If n > 0 Then Depth(n - 1)
  Depth = mark
End Function
WScript.Echo Depth(3), IsEmpty(mark)
' expect: 3 True

' Execute and Eval code inside a procedure sees its locals, its undeclared names and the
' variables earlier Execute code made in the same call, not those of other calls.
Dim z : z = "global z"
Sub Dynamic(tag)
  Execute "Dim z : z = tag & "" z"""
  Execute "made = 7"
  Execute "counter = counter + 100"
  seen = "seen"
  Execute "seen = seen & ""!"""
  WScript.Echo Eval("z"), Eval("made"), seen, counter
  Execute "WScript.Echo z, made * 2"
End Sub
Dynamic "first"
' expect: first z 7 seen! 114
' expect: first z 14
Dynamic "second"
' expect: second z 7 seen! 214
' expect: second z 14
WScript.Echo z, IsEmpty(made)
' expect: global z True

' Class methods: fields first, then script-level names, the same on every mention.
total = 0
Class Meter
  Private reading
  Public Sub Add(v)
    reading = reading + v
    total = total + v
    total = total + 0
    If reading > LIMIT Then reading = LIMIT
  End Sub
  Public Property Get Value() : Value = reading & "/" & LIMIT & "/" & total : End Property
End Class
Dim m : Set m = New Meter
m.Add 4 : m.Add 8
WScript.Echo m.Value
' expect: 10/10/12

' Assigning to a constant is error 501 when the statement runs, not a compile error: a
' procedure that would assign one compiles, and the script runs as long as nobody calls it.
' The constant keeps its value; each statement form that assigns is refused the same way.
Sub NeverCalled() : LIMIT = 1 : End Sub
Sub AssignsDirectly() : LIMIT = LIMIT + 1 : End Sub
Sub CountsWithConst() : For LIMIT = 1 To 2 : Next : End Sub
Sub AssignsLocalConst()
  Const LOCAL_MAX = 3
  LOCAL_MAX = 4
End Sub
Dim constCase
For Each constCase In Array("AssignsDirectly", "CountsWithConst", "AssignsLocalConst", "LIMIT = 2")
  On Error Resume Next
  Err.Clear
  Execute constCase
  WScript.Echo constCase, Err.Number, LIMIT
  On Error GoTo 0
Next
' expect: AssignsDirectly 501 10
' expect: CountsWithConst 501 10
' expect: AssignsLocalConst 501 10
' expect: LIMIT = 2 501 10

' Assigning to a script-level Const or procedure from a procedure is an error.
Sub AssignsConst() : Execute "LIMIT = 1" : End Sub
Sub AssignsProc() : Clamp = 1 : End Sub
On Error Resume Next
AssignsConst
WScript.Echo Err.Number
' expect: 501
Err.Clear
AssignsProc
WScript.Echo Err.Number
' expect: 501
' Undeclared names in a procedure keep their meaning on every path, fast or general: the
' script-level variable when one exists, else a variable of the call, fresh in each call.
Dim shared: shared = 0
Sub AddOne(n): n = n + 1: End Sub
Sub Accumulate()
  For k = 1 To 5: shared = shared + k: Next
  For k = 1 To 3: own = own + k: Next
  AddOne own
  If own > 6 Then big = "big"
  WScript.Echo shared, own, k, big
End Sub
Accumulate
Accumulate
' expect: 15 7 4 big
' expect: 30 7 4 big
