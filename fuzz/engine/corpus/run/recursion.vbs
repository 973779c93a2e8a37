Sub R(n): R n + 1: End Sub
R 0
