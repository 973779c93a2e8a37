' Comparisons: strings, numbers, Empty, Null, and literal against variable operands.
Dim s, n, e
s = "10": n = 10
WScript.Echo s = 10, 10 = s, s = n, n < s, "abc" < "abd", "B" < "a"
' expect: True True False True True True
WScript.Echo n = "10", "9" > n, s > n
' expect: True True True
WScript.Echo e = 0, e = "", e = Empty, IsNull(Null = Null), IsNull(n <> Null)
' expect: True True True True True
WScript.Echo 1 = 1.0, CInt(1) = CLng(1), #1/1/2000# = DateSerial(2000, 1, 1), True = -1
' expect: True True True True
Const LIMIT = 5
Dim t: t = "5"
WScript.Echo t = LIMIT
' expect: True
' Two literals of different types give a result; a string variable against a numeric
' literal must read as a number.
WScript.Echo "x" = 1, "yes" = True, "" <> False, "true" <> True, "1" = 1, 2 > "10", "" = True = False
' expect: False False True True True False True
On Error Resume Next
Dim x: x = "x"
WScript.Echo x = 1
WScript.Echo Err.Number
' expect: 13
Err.Clear
Dim o: Set o = Nothing
WScript.Echo o Is Nothing, Not (o Is Nothing)
' expect: True False
