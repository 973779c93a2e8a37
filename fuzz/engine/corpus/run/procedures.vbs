' Sub and Function, ByRef by default, ByVal, parentheses pass by value, Call,
' procedures used before their definition, Exit Sub/Function, recursion.
Dim n
n = 1
Bump n
WScript.Echo n
' expect: 2
Bump (n)
WScript.Echo n
' expect: 2
Call Bump(n)
WScript.Echo n
' expect: 3
Keep n
WScript.Echo n
' expect: 3
Dim arr(2)
arr(1) = 10
Bump arr(1)
WScript.Echo arr(1)
' expect: 11
WScript.Echo Fact(10), TypeName(Fact(3))
' expect: 3628800 Integer
WScript.Echo Early(5), Early(-1)
' expect: positive negative
Both n, n
WScript.Echo n
' expect: 5
Dim r: r = Twice(n) + Twice(1)
WScript.Echo r
' expect: 12
Sub Bump(x)
  x = x + 1
End Sub
Sub Keep(ByVal x)
  x = 100
End Sub
Sub Both(ByRef a, ByVal b)
  a = a + 1
  b = 0
  a = a + 1
End Sub
Function Fact(k)
  If k <= 1 Then Fact = 1 : Exit Function
  Fact = k * Fact(k - 1)
End Function
Function Early(v)
  Early = "negative"
  If v < 0 Then Exit Function
  Early = "positive"
End Function
Function Twice(v)
  Twice = v * 2
End Function
' A variable assigned in a procedure without declaration is local to it.
Sub SetImplicit()
  implicitVar = 42
End Sub
SetImplicit
WScript.Echo IsEmpty(implicitVar)
' expect: True
' But a script-level variable that exists is used.
Dim shared: shared = 1
Sub SetShared(): shared = 2: End Sub
SetShared
WScript.Echo shared
' expect: 2
