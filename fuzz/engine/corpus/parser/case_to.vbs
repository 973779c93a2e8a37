Select Case x
Case 1 To 5
End Select
