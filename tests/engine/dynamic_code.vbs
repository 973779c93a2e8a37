' Execute, ExecuteGlobal, Eval and GetRef.
Dim g: g = 1
Execute "g = g + 1"
WScript.Echo g
' expect: 2
ExecuteGlobal "Function Added(x): Added = x * 3: End Function"
WScript.Echo Added(4)
' expect: 12
WScript.Echo Eval("g * 10 + 1"), Eval("g = 2")
' expect: 21 True
Sub Local()
  Dim mine: mine = 5
  Execute "mine = mine * 2"
  WScript.Echo mine, Eval("mine + 1")
End Sub
Local
' expect: 10 11
Function Greet(name): Greet = "hi " & name: End Function
Dim f: Set f = GetRef("Greet")
WScript.Echo f("bob")
' expect: hi bob
On Error Resume Next
Execute "x = (1 +"
WScript.Echo Err.Number
' expect: 1023
' Dynamic code that runs itself without end stops with "Out of stack space", which can be
' caught, at script level and inside a procedure alike.
Sub ExecuteInside(n): Execute "ExecuteInside n + 1": End Sub
Function EvalInside(n): EvalInside = Eval("EvalInside(n + 1)"): End Function
Dim selfCall
For Each selfCall In Array("Execute selfCall", "ExecuteGlobal selfCall", "Eval(selfCall)", _
                           "ExecuteInside 0", "EvalInside(0)")
  Err.Clear
  If Left(selfCall, 4) = "Eval" Then x = Eval(selfCall) Else Execute selfCall
  WScript.Echo selfCall & ": " & Err.Number & " " & Err.Description
Next
' expect: Execute selfCall: 28 Out of stack space
' expect: ExecuteGlobal selfCall: 28 Out of stack space
' expect: Eval(selfCall): 28 Out of stack space
' expect: ExecuteInside 0: 28 Out of stack space
' expect: EvalInside(0): 28 Out of stack space
WScript.Echo Eval("1 + 1")
' expect: 2
' Code compiled while a loop runs can change what its names are: a call site reaches the
' procedure defined last and binds its arguments as that one declares them; a name that
' becomes a procedure is no longer the variable it was (assigning it is error 501).
Function Twice(x): Twice = x * 2: End Function
Sub Grow(n): n = n + 1: End Sub
Dim round, got, grown, counter: grown = 1: counter = 0
For round = 1 To 2
  got = got & Twice(5) & " "
  Grow grown
  On Error Resume Next
  counter = counter + 1
  got = got & Err.Number & " "
  On Error GoTo 0
  ExecuteGlobal "Function Twice(x): Twice = x * 3: End Function"
  ExecuteGlobal "Sub Grow(ByVal n): n = n + 1: End Sub"
  If round = 1 Then ExecuteGlobal "Function counter(): counter = 40: End Function"
Next
WScript.Echo got & grown, counter
' expect: 10 0 15 501 2 40
' A script-level name first assigned inside a loop is the same variable afterwards.
For round = 1 To 4: undefinedYet = undefinedYet + round: Next
WScript.Echo undefinedYet
' expect: 10
