' Compile errors, one table: each piece of code is compiled through Execute and must
' fail with this number before any of it runs.
Dim cases: cases = Array( _
  "x = (1 + 2", 1006, _
  "If x Then" & vbCrLf & "y = 1", 1014, _
  "For i = 1 To", 1023, _
  "x = ", 1023, _
  "Select Case x" & vbCrLf & "Case 1 To 5" & vbCrLf & "End Select", 1025, _
  "Select Case x" & vbCrLf & "Case Is > 5" & vbCrLf & "End Select", 1023, _
  "Sub S()" & vbCrLf & "Exit Function" & vbCrLf & "End Sub", 1039, _
  "Exit Do", 1039, _
  "Dim a, a", 1041, _
  "Foo(1, 2)", 1044, _
  "Const c = x", 1045, _
  "Dim a(n)", 1026, _
  "x = ""open", 1033, _
  "Loop", 1038, _
  "Next", 1055, _
  "Do" & vbCrLf & "x = 1", 1019, _
  "While x" & vbCrLf & "x = 1", 1018, _
  "If x Then y = 1 Else", 1024, _
  "Class C" & vbCrLf & "Sub Class_Initialize(a)" & vbCrLf & "End Sub" & vbCrLf & "End Class", 1053, _
  "x = 1 y = 2", 1025, _
  "x = 5 ? 3", 1032, _
  "Property Get P()" & vbCrLf & "End Property", 1048)
Dim i, ran
For i = 0 To UBound(cases) Step 2
  On Error Resume Next
  Err.Clear
  ran = False
  Execute cases(i) & vbCrLf & "ran = True"
  If Err.Number <> cases(i + 1) Or ran Then
    WScript.Echo "case " & (i \ 2) & ": got " & Err.Number & " (" & Err.Description & ")"
  End If
  On Error GoTo 0
Next
WScript.Echo "done"
' expect: done
