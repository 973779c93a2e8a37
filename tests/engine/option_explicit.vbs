Option Explicit
Dim known
known = 1
WScript.Echo known
' expect: 1
unknown = 2
' expect error: (6, 1) error 500: Variable is undefined: 'unknown'
