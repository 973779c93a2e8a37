' Lexical details: continuation, separators, comments, literals, bracketed names.
Dim total: total = 1 + _
  2 + _
  3
WScript.Echo total ' a comment after code
' expect: 6
Rem a whole-line remark
x = 1: y = 2: WScript.Echo x + y : Rem remark after a colon
' expect: 3
WScript.Echo &HFF, &hff&, &O777, 1.5E3, 2e-3, .5, 3.
' expect: 255 255 511 1500 0.002 0.5 3
WScript.Echo #2003-01-02#, #1/2/2003 14:00#, #12:30:15 AM#, TypeName(#1/1/2000#)
' expect: 1/2/2003 1/2/2003 2:00:00 PM 12:30:15 AM Date
Dim [my var]: [my var] = "bracketed"
WScript.Echo [my var]
' expect: bracketed
DIM MiXeD: mixed = "case"
wscript.echo MIXED
' expect: case
WScript.Echo "a" & _
             "b"
' expect: ab
