' Deeply nested arrays and long object chains are freed without running out of stack.
Dim a
For i = 1 To 200000: a = Array(a, i): Next
a = Empty
WScript.Echo "arrays freed"
' expect: arrays freed
Class Nd: Public NextNode: End Class
Dim head, n: Set head = Nothing
For i = 1 To 200000
  Set n = New Nd
  Set n.NextNode = head
  Set head = n
Next
Set n = Nothing
Set head = Nothing
WScript.Echo "list freed"
' expect: list freed
