' Forms of the language that existing scripts use and that look unusual: statements
' right after a Case list or before End Sub on one line, old comparison spellings,
' Property as a name, parentheses around what is called, procedures in blocks or
' written twice, Stop, and the precedence of a sign over ^.
Function Pick(n)
  Select Case n
    Case 1 Pick = "one"
    Case 2, 3 Pick = "few" : Pick = Pick & "!"
    Case Else Pick = "many"
  End Select
End Function
WScript.Echo Pick(1), Pick(3), Pick(9)
' expect: one few! many

' Operators: each row is an expression and the text of its value.
Dim rows, i, out
rows = Array( _
  "3 => 3", "True", "2 => 3", "False", "1 =< 1", "True", "4 =< 3", "False", _
  "-3^2", "9", "-2^2*3", "12", "2^-1", "0.5", "2*3^2", "18", "2^3^2", "64", _
  "- -2^2", "4", "10 - 3^2", "1")
out = ""
For i = 0 To UBound(rows) Step 2
  If CStr(Eval(rows(i))) <> rows(i + 1) Then out = out & " [" & rows(i) & " gave " & Eval(rows(i)) & "]"
Next
WScript.Echo "operators" & out
' expect: operators

' Property is a keyword only where a property procedure begins or ends.
Dim Property : Property = 5
For property = 1 To 2 : Next
Sub ShowParam(property) : WScript.Echo "param", property : End Sub
ShowParam property
' expect: param 3
Class Holder
  Public Property
  Public Property Get Value : Value = Property * 2 : End Property
End Class
Dim h : Set h = New Holder
h.Property = 7
WScript.Echo h.Value, h.property
' expect: 14 7
ExecuteGlobal "Class Property : Public x : End Class"
Dim p : Set p = New Property : p.x = 1
WScript.Echo TypeName(p)
' expect: Property

' Parentheses around a callee or an indexed variable; around an argument they still
' pass it by value.
Dim a(2) : a(1) = "x"
Function Twice(x) : Twice = x * 2 : End Function
Sub Inc(y) : y = y + 1 : End Sub
WScript.Echo ((a))(1), (Twice)(4), ((Twice))((5))
' expect: x 8 10
Dim v : v = 1
Call (((Inc))) ((v))
WScript.Echo v
' expect: 1
Call (Inc)(v)
WScript.Echo v
' expect: 2

' End Sub, End Function and End Class right after a statement.
Sub OneLine : WScript.Echo "one line" End Sub
Function OneLineF(x) : OneLineF = x + 1 End Function
Class OneLineC : Public Field End Class
OneLine
Dim c : Set c = New OneLineC : c.Field = OneLineF(1)
WScript.Echo c.Field
' expect: one line
' expect: 2

' A procedure inside a block of script-level code is declared when the script starts; a
' procedure written twice is the last one.
WScript.Echo Early(3)
' expect: 9
If False Then
  Function Early(x) : Early = x * x : End Function
End If
Sub Twin : WScript.Echo "first" : End Sub
Sub Twin : WScript.Echo "second" : End Sub
Twin
' expect: second

' .member outside any With compiles and fails only when it runs; Stop does nothing.
On Error Resume Next
Dim r : r = .Missing
WScript.Echo Err.Number
' expect: 505
On Error GoTo 0
Stop
If True Then Stop Else Stop
WScript.Echo "after stop"
' expect: after stop

' For Each: the variable is Empty after the last element (not after Exit For); an
' array without elements runs the body no times.
Dim e, n, dynamic()
For Each e In Array(1, 2) : Next
WScript.Echo IsEmpty(e)
' expect: True
For Each e In Array(1, 2) : If e = 1 Then Exit For
Next
WScript.Echo e
' expect: 1
n = 0
For Each e In dynamic : n = n + 1 : Next
ReDim dynamic(-1)
For Each e In dynamic : n = n + 1 : Next
For Each e In Array() : n = n + 1 : Next
WScript.Echo n, UBound(dynamic)
' expect: 0 -1

' New RegExp makes the language's own class, even beside a script class of that name.
ExecuteGlobal "Class RegExp : Public Pattern : End Class"
Dim re : Set re = New RegExp
re.Pattern = "b+"
WScript.Echo re.Test("abbc"), re.Replace("abbc", "-")
' expect: True a-c
