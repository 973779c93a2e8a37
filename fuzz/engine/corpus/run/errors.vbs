On Error Resume Next
x = 1/0
Execute "y = (("
Eval("1 +")
z = CInt(99999)
ReDim q(-5)
