Dim a
For i = 1 To 100000: a = Array(a): Next
