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
