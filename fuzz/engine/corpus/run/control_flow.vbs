' If in every form, Select Case, For with steps, For Each, Do, While, Exit.
Dim x: x = 3
If x = 3 Then WScript.Echo "one-line"
If x = 4 Then WScript.Echo "no" Else WScript.Echo "else-line"
If x = 3 Then WScript.Echo "a" : WScript.Echo "b" Else WScript.Echo "c"
' expect: one-line
' expect: else-line
' expect: a
' expect: b
If x > 5 Then
  WScript.Echo "big"
ElseIf x > 2 Then
  WScript.Echo "medium"
Else
  WScript.Echo "small"
End If
' expect: medium
If x = 3 Then If x > 1 Then WScript.Echo "nested single"
' expect: nested single
Select Case x
  Case 1, 2
    WScript.Echo "low"
  Case 3, 4: WScript.Echo "three or four"
  Case Else
    WScript.Echo "else"
End Select
' expect: three or four
Select Case "B"
  Case "a": WScript.Echo "a"
  Case "b", "B": WScript.Echo "bee"
End Select
' expect: bee
Dim s, i
For i = 10 To 1 Step -3: s = s & i & " ": Next
WScript.Echo s & "| " & i
' expect: 10 7 4 1 | -2
s = ""
For i = 0 To 1 Step 0.25: s = s & i & " ": Next
WScript.Echo s
' expect: 0 0.25 0.5 0.75 1 
Dim limit: limit = 3: s = ""
For i = 1 To limit
  limit = 10
  s = s & i
Next
WScript.Echo s
' expect: 123
s = ""
For i = 1 To 10
  If i = 4 Then Exit For
  s = s & i
Next
WScript.Echo s, i
' expect: 123 4
i = 0
Do While i < 3: i = i + 1: Loop
WScript.Echo i
' expect: 3
Do Until i = 0: i = i - 1: Loop
WScript.Echo i
' expect: 0
Do: i = i + 1: Loop While i < 5
WScript.Echo i
' expect: 5
Do: i = i + 1: Loop Until i >= 7
WScript.Echo i
' expect: 7
Do
  i = i + 1
  If i = 9 Then Exit Do
Loop
WScript.Echo i
' expect: 9
While i < 12: i = i + 1: Wend
WScript.Echo i
' expect: 12
For i = 1 To 2
  For j = 1 To 3
    If j = 2 Then Exit For
    s = s & i & j & " "
  Next
Next
WScript.Echo s
' expect: 12311 21 
For i = 5 To 1
  WScript.Echo "never"
Next
WScript.Echo "empty loop"
' expect: empty loop
