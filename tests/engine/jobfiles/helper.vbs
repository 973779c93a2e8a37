Function Helper(x)
  Helper = "helper(" & x & ")"
End Function
