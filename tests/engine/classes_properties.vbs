' Properties with arguments, default members with arguments, Exit Property, Me.
Class Grid
  Private cells(2, 2)
  Public Default Property Get Cell(r, c)
    Cell = cells(r, c)
  End Property
  Public Property Let Cell(r, c, v)
    cells(r, c) = v
  End Property
  Public Property Get Safe(r)
    Safe = "none"
    If r < 0 Then Exit Property
    Safe = "row " & r
  End Property
  Public Function Self()
    Set Self = Me
  End Function
End Class
Dim g: Set g = New Grid
g.Cell(1, 2) = "b"
WScript.Echo g.Cell(1, 2), g(1, 2), IsEmpty(g(0, 0))
' expect: b b True
WScript.Echo g.Safe(-1), g.Safe(3), g.Self() Is g
' expect: none row 3 True
Class Temp
  Private c
  Public Property Get Celsius(): Celsius = c: End Property
  Public Property Let Celsius(v): c = v: End Property
  Public Property Get Fahrenheit(): Fahrenheit = c * 9 / 5 + 32: End Property
End Class
Dim t: Set t = New Temp
t.Celsius = 100
WScript.Echo t.Fahrenheit
' expect: 212
On Error Resume Next
t.Fahrenheit = 5
WScript.Echo Err.Number
' expect: 450
Err.Clear
Dim notObj: notObj = 5
notObj.Foo = 1
WScript.Echo Err.Number
' expect: 424
Err.Clear
Set t = 5
WScript.Echo Err.Number
' expect: 424
Err.Clear
Dim nada: Set nada = Nothing
nada.Foo
WScript.Echo Err.Number
' expect: 91
Err.Clear
Set x = New NoSuchClass
WScript.Echo Err.Number
' expect: 506
