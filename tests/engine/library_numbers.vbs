' Math functions, conversions at their limits, formatting of numbers (en-US).
WScript.Echo Exp(0), Round(Exp(1), 10), Round(Log(100) / Log(10), 12), Round(Atn(1) * 4, 10), Sin(0), Cos(0), Tan(0), TypeName(Exp(1))
' expect: 1 2.7182818285 2 3.1415926536 0 1 0 Double
WScript.Echo CByte(255.5 - 1), CInt(2.5), CInt(3.5), CLng(-2.5), Fix(-7.9), Int(-7.1), Round(2.5), Round(3.5), Round(1.005, 2), Round(-1.25, 1)
' expect: 254 2 4 -2 -7 -8 2 4 1 -1.2
WScript.Echo Hex(-1), Hex(CLng(-1)), Hex(255), Oct(-1), Oct(64), Sgn(0), Sgn(-3), Abs(-2.5), Sqr(2) > 1.414
' expect: FFFF FFFFFFFF FF 177777 100 0 -1 2.5 True
WScript.Echo FormatNumber(1234567.891), FormatNumber(0.5), FormatNumber(-0.5, 1), FormatNumber(1234.5, 0), FormatNumber(2.345, 2), FormatNumber(-1234.5, 2, vbTrue, vbTrue, vbFalse)
' expect: 1,234,567.89 0.50 -0.5 1,235 2.35 (1234.50)
WScript.Echo FormatNumber(0.25, 2, vbFalse), FormatNumber(12345, -1, vbUseDefault, vbUseDefault, vbFalse), FormatNumber("3"), FormatNumber(-0.001), FormatNumber(999.995)
' expect: .25 12345.00 3.00 0.00 1,000.00
WScript.Echo FormatCurrency(1234.5), FormatCurrency(-1234.5), FormatCurrency(-5, 0, , vbFalse), FormatCurrency(0.5, 2, vbFalse)
' expect: $1,234.50 ($1,234.50) -$5 $.50
WScript.Echo FormatPercent(0.256), FormatPercent(0.256, 1), FormatPercent(-0.5, 0), FormatPercent(12.5, 0)
' expect: 25.60% 25.6% -50% 1,250%
WScript.Echo GetLocale(), SetLocale(1033), SetLocale("en-us"), GetLocale()
' expect: 1033 1033 1033 1033
x = Rnd(-1): Randomize 42: a = Rnd: x = Rnd(-1): Randomize 42: b = Rnd
WScript.Echo a = b, Rnd(-1) = Rnd(-1), Rnd >= 0 And Rnd < 1
' expect: True True True
Dim cases, c, out
cases = Array("Log(0)", "Log(-1)", "Sqr(-1)", "Exp(1000)", "FormatNumber(""x"")", "FormatNumber(1, -3)", "CByte(256)", "CInt(32768)", "Sin(Null)", "Round(1, -1)", "LoadPicture(""a.bmp"")", "SetLocale(1031)")
On Error Resume Next
For Each c In cases
  Err.Clear
  Dim r: r = Eval(c)
  out = out & Err.Number & " "
Next
On Error GoTo 0
WScript.Echo out
' expect: 5 5 5 6 13 5 6 6 94 5 481 5 
