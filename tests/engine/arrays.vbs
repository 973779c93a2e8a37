' Fixed and dynamic arrays, several dimensions, ReDim Preserve, Erase, value semantics.
Dim a(2), m(1, 2), d()
a(0) = "x": a(2) = 3
WScript.Echo UBound(a), LBound(a), IsEmpty(a(1)), TypeName(a), VarType(a)
' expect: 2 0 True Variant() 8204
m(1, 2) = "corner"
WScript.Echo UBound(m, 1), UBound(m, 2), m(1, 2)
' expect: 1 2 corner
ReDim d(1)
d(0) = "keep": d(1) = "me"
ReDim Preserve d(3)
WScript.Echo UBound(d), d(0), d(1), IsEmpty(d(3))
' expect: 3 keep me True
ReDim d(1)
WScript.Echo IsEmpty(d(0))
' expect: True
Dim b: b = a
b(0) = "changed"
WScript.Echo a(0), b(0)
' expect: x changed
Dim arr: arr = Array(1, "two", 3.5)
WScript.Echo UBound(arr), arr(1), TypeName(arr(2)), IsArray(arr), IsArray(1)
' expect: 2 two Double True False
Dim total, v
For Each v In arr: total = total & v & ";": Next
WScript.Echo total
' expect: 1;two;3.5;
Erase a
WScript.Echo UBound(a), IsEmpty(a(0))
' expect: 2 True
Erase d
On Error Resume Next
x = UBound(d)
WScript.Echo Err.Number
' expect: 9
Err.Clear
x = arr(3)
WScript.Echo Err.Number
' expect: 9
Err.Clear
ReDim a(5)
WScript.Echo Err.Number
' expect: 10
Err.Clear
ReDim a("x")
WScript.Echo Err.Number
' expect: 10
Err.Clear
ReDim Preserve a("x")
WScript.Echo Err.Number
' expect: 13
Err.Clear
On Error GoTo 0
ReDim grid(2, 1)
grid(2, 1) = "g"
ReDim Preserve grid(2, 3)
WScript.Echo grid(2, 1), UBound(grid, 2)
' expect: g 3
Dim nested: nested = Array(Array(1, 2), Array(3, 4))
WScript.Echo nested(1)(0)
' expect: 3
' An element of an inner array is assigned in place; arrays keep their value semantics (a
' copy made before, or the array the inner one came from, stays as it was).
Dim inner, copy: inner = Array("x", "y")
nested = Array(inner, 2): copy = nested
nested(0)(1) = "z"
WScript.Echo nested(0)(0) & nested(0)(1), inner(1), copy(0)(1)
' expect: xz y y
Dim deep(1): deep(1) = Array(0, Array("a", "b"))
deep(1)(1)(0) = "c"
WScript.Echo deep(1)(1)(0) & deep(1)(1)(1)
' expect: cb
Dim holder: Set holder = CreateObject("Scripting.Dictionary")
nested = Array(holder)
nested(0)("k") = "v"
WScript.Echo holder("k")
' expect: v
On Error Resume Next
nested = Array(1, Array(5))
nested(0)(0) = 2
WScript.Echo Err.Number, nested(0): Err.Clear
nested(1)(3) = 2
WScript.Echo Err.Number, UBound(nested(1)): Err.Clear
On Error GoTo 0
' expect: 13 1
' expect: 9 0
Sub Fill(x)
  x(0) = "filled"
End Sub
Dim c(1)
Fill c
WScript.Echo c(0)
' expect: filled
Function MakeArray()
  Dim r(1): r(0) = "made": MakeArray = r
End Function
WScript.Echo MakeArray()(0)
' expect: made
Dim cube(1, 1, 1), count
For Each v In cube: count = count + 1: Next
WScript.Echo count
' expect: 8
' Two elements of one array passed ByRef to the same call.
Sub Swap(p, q)
  Dim t: t = p: p = q: q = t
End Sub
Dim pair: pair = Array("first", "second")
Swap pair(0), pair(1)
WScript.Echo pair(0), pair(1)
' expect: second first
