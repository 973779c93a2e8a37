' A syntax error is found before anything runs: nothing is printed.
WScript.Echo "never"
If x Then
  y = 1
' expect error: (8, 1) error 1014: Expected 'End'


