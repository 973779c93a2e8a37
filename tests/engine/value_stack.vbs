' The value stack grows in blocks of different sizes: frames of every size land in whichever
' block fits, a block too small for a later, larger frame is replaced, and values stay where
' they belong across blocks.
Function Small(d)
  Dim a, b: a = d: b = 1
  If d > 0 Then Small = Small(d - 1) + b Else Small = a
End Function
WScript.Echo Small(300)
' expect: 300

' A frame of 5,000 values, made when a smaller block already lies above the first one.
Dim code, i
code = "Function Big(x)" & vbLf & "Dim v1"
For i = 2 To 5000: code = code & ", v" & i: Next
code = code & vbLf & "v1 = x: v5000 = Small(600) + v1: Big = v5000" & vbLf & "End Function"
ExecuteGlobal code
WScript.Echo Big(7)
' expect: 607

' Deep recursion inside it, then the same again: every block is reused.
Function Chain(d, s)
  If d = 0 Then Chain = s Else Chain = Chain(d - 1, s & "")
End Function
WScript.Echo Len(Chain(600, "abc")), Big(1), Small(300)
' expect: 3 601 300
