s = "x"
For i = 1 To 20: s = s & s: Next
