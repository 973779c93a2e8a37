' Under On Error Resume Next an error in a block's header sets Err and execution goes on
' into the block, as the language does.
Function Boom() : Err.Raise 1000 : End Function
On Error Resume Next
If Boom() Then WScript.Echo "if: " & Err.Number Else WScript.Echo "else"
' expect: if: 1000
Err.Clear
If False Then
  WScript.Echo "not here"
ElseIf Boom() Then
  WScript.Echo "elseif: " & Err.Number
End If
' expect: elseif: 1000
Err.Clear
Do While Boom()
  WScript.Echo "do while: " & Err.Number
  Exit Do
Loop
' expect: do while: 1000
Err.Clear
n = 0
Do
  n = n + 1
Loop Until Boom()
WScript.Echo "loop until: " & n & " " & Err.Number
' expect: loop until: 1 1000
' A For whose bounds fail runs its body once; its Next then finds no loop (92) and the
' variable keeps its value.
i = 6 : runs = 0
For i = 1 To Boom()
  WScript.Echo "for: " & Err.Number & " " & i
  runs = runs + 1
Next
WScript.Echo runs, i, Err.Number
' expect: for: 1000 6
' expect: 1 6 92
Err.Clear
For i = 1 To Boom()
  Exit For
Next
WScript.Echo "exit for: " & Err.Number
' expect: exit for: 1000
' A For Each over a failing or non-collection value likewise, with 451 at its Next.
Dim item, source
For Each source In Array("Boom()", "Empty", "42")
  Err.Clear
  runs = 0
  item = "kept"
  Execute "On Error Resume Next : For Each item In " & source & " : runs = runs + 1 : Next"
  WScript.Echo source & ": " & runs & " " & item & " " & Err.Number
Next
' expect: Boom(): 1 kept 451
' expect: Empty: 1 kept 451
' expect: 42: 1 kept 451
' A With whose object fails runs its body without one: .member uses give 424.
Class Holder : Public Value : End Class
Err.Clear
With Boom()
  WScript.Echo "with: " & Err.Number
  .Value = 1
  WScript.Echo "member: " & Err.Number
End With
' expect: with: 1000
' expect: member: 424
' A Case value that fails enters its case; a failing Select subject enters none.
Err.Clear
Select Case 3
  Case 1 : WScript.Echo "one"
  Case Boom() : WScript.Echo "case: " & Err.Number
  Case Else : WScript.Echo "else"
End Select
' expect: case: 1000
Err.Clear
Select Case Boom()
  Case Else : WScript.Echo "not here"
End Select
WScript.Echo "select: " & Err.Number
' expect: select: 1000
' Without Resume Next the header's error stops the script.
On Error GoTo 0
For Each item In 42
  WScript.Echo "not here"
Next
' expect error: (81, 1) error 451: Object not a collection
