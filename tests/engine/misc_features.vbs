' GetRef as an event handler, Eval inside a method, a class from ExecuteGlobal,
' continued Dim lists, arrays of objects.
Class Button
  Public OnClick
  Public Sub Click(): If IsObject(OnClick) Then OnClick "clicked": End If: End Sub
End Class
Sub Handler(msg): WScript.Echo "handler got " & msg: End Sub
Set b = New Button
Set b.OnClick = GetRef("Handler")
b.Click
' expect: handler got clicked
Class Calc
  Private factor
  Sub Class_Initialize: factor = 3: End Sub
  Function Apply(x): Apply = Eval("x * factor"): End Function
End Class
Set c = New Calc
WScript.Echo c.Apply(5)
' expect: 15
ExecuteGlobal "Class Late: Public Name: End Class"
Set l = New Late: l.Name = "late"
WScript.Echo l.Name
' expect: late
Dim a, _
    b2, _
    c2
a = 1: b2 = 2: c2 = 3
WScript.Echo a + b2 + c2
' expect: 6
Function Outer()
  Outer = Inner() * 2
End Function
Function Inner(): Inner = 21: End Function
WScript.Echo Outer
' expect: 42
Dim arr(2)
Set arr(0) = New Late
arr(0).Name = "in array"
WScript.Echo arr(0).Name, TypeName(arr(0)), IsEmpty(arr(1))
' expect: in array Late True
WScript.Echo Join(Array("a", "b"), "")
' expect: ab
x = 5
Select Case x
Case 1
Case 5
  WScript.Echo "five"
' expect: five
End Select
