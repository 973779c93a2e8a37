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
