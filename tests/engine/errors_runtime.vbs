' On Error Resume Next across calls, the Err object, Err.Raise and the error table.
On Error Resume Next
x = 1 / 0
WScript.Echo Err.Number & " " & Err.Description & " | " & Err.Source
' expect: 11 Division by zero | Microsoft VBScript runtime error
Err.Clear
WScript.Echo Err.Number
' expect: 0
Sub Inner()
  WScript.Echo "inner before"
  y = CInt("abc")
  WScript.Echo "inner after (not printed)"
End Sub
Inner
WScript.Echo "after inner: " & Err.Number
' expect: inner before
' expect: after inner: 13
Err.Raise 1000, "MySource", "My text"
WScript.Echo Err.Number, Err.Source, Err.Description
' expect: 1000 MySource My text
' Raise takes what it is not given from the Err object, so it is cleared first here.
Err.Clear
Err.Raise 9
WScript.Echo Err.Number, Err.Description
' expect: 9 Subscript out of range
Err.Clear
Err.Raise vbObjectError + 1
WScript.Echo Err.Number, Err.Description
' expect: -2147221503 Unknown runtime error
' A condition that fails enters the Then branch, as in the original.
If 1 / 0 = 5 Then WScript.Echo "entered"
' expect: entered
On Error GoTo 0
WScript.Echo Err.Number
' expect: 0
Dim table: table = Array(5, 6, 9, 13, 94, 424, 438, 450, 500)
Dim i
For Each i In table
  On Error Resume Next
  Err.Raise i
  WScript.Echo i & ": " & Err.Description
  On Error GoTo 0
Next
' expect: 5: Invalid procedure call or argument
' expect: 6: Overflow
' expect: 9: Subscript out of range
' expect: 13: Type mismatch
' expect: 94: Invalid use of Null
' expect: 424: Object required
' expect: 438: Object doesn't support this property or method
' expect: 450: Wrong number of arguments or invalid property assignment
' expect: 500: Variable is undefined
Sub Deep()
  Dim a(2)
  a(5) = 1
End Sub
Deep
' expect error: (55, 3) error 9: Subscript out of range
WScript.Echo "not reached"
