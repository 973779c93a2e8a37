' args: one two 3
WScript.Echo WScript.Arguments.Count, WScript.Arguments(0), WScript.Arguments.Item(2)
' expect: 3 one 3
For Each a In WScript.Arguments: s = s & "[" & a & "]": Next
WScript.Echo s, WScript.Arguments.Length, WScript.ScriptName
' expect: [one][two][3] 3 quit.vbs
WScript.StdOut.Write "no newline "
WScript.StdOut.WriteLine "then newline"
' expect: no newline then newline
WScript.StdErr.WriteLine "to stderr"
' expect error: to stderr
WScript.Quit 7
' expect exit: 7
WScript.Echo "not reached"
