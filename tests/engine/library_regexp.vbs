' VBScript.RegExp: properties, Test, Execute with Matches/Match/SubMatches, Replace with
' the $ forms, and long subjects that must not exhaust the stack.
Set re = CreateObject("VBScript.RegExp")
WScript.Echo TypeName(re), re.Global, re.IgnoreCase, re.Multiline, "[" & re.Pattern & "]"
' expect: IRegExp2 False False False []
re.Pattern = "(\w+)@(\w+)\.com"
re.Global = True
Set ms = re.Execute("mail joe@x.com, ann@y.com; bad@z.org")
WScript.Echo ms.Count, ms(0), ms(0).FirstIndex, ms(0).Length, ms.Item(1).Value, ms(1).SubMatches(1), ms(1).SubMatches.Count
' expect: 2 joe@x.com 5 9 ann@y.com y 2
For Each m In ms: s = s & m.FirstIndex & "=" & m.SubMatches(0) & " ": Next
WScript.Echo s
' expect: 5=joe 16=ann 
WScript.Echo re.Replace("a joe@x.com b", "<$2|$1|$&|$$|$`|$'|$3>")
' expect: a <x|joe|joe@x.com|$|a | b|$3> b
re.Global = False
WScript.Echo re.Execute("joe@x.com ann@y.com").Count, re.Replace("joe@x.com ann@y.com", "*")
' expect: 1 * ann@y.com
re.Pattern = "hello": re.IgnoreCase = True
WScript.Echo re.Test("Say HELLO"), re.Test("say hi")
' expect: True False
re.Pattern = "^\d+$": re.IgnoreCase = False: re.Global = True
WScript.Echo re.Test("12" & vbLf & "34"), re.Execute("12" & vbLf & "34").Count
re.Multiline = True
WScript.Echo re.Test("12" & vbLf & "34"), re.Execute("12" & vbLf & "34").Count, re.Replace("1" & vbLf & "x" & vbLf & "2", "#") = "#" & vbLf & "x" & vbLf & "#"
' expect: False 0
' expect: True 2 True
re.Pattern = "(a)(b)?": re.Multiline = False
Set m = re.Execute("ac")(0)
WScript.Echo m.SubMatches.Count, m.SubMatches(0), IsEmpty(m.SubMatches(1))
' expect: 2 a True
re.Pattern = "x*": WScript.Echo re.Replace("abc", "-")
' expect: -a-b-c-
re.Pattern = "(\w)\1": WScript.Echo re.Replace("aabbcd", "[$1]")
' expect: [a][b]cd
re.Pattern = "a.*?b": WScript.Echo re.Execute("aXbaYb").Count
' expect: 2
' A long subject: the matcher must not recurse per character.
Dim big: big = String(300000, "a") & "b"
re.Pattern = ".*b": WScript.Echo re.Test(big), Len(re.Execute(big)(0))
re.Pattern = "(a|b)+$": WScript.Echo re.Test(big)
' expect: True 300001
' expect: True
On Error Resume Next
re.Pattern = "(unclosed": r = re.Test("x")
WScript.Echo Err.Number
' expect: 5017
Err.Clear
' Back-references on a long subject need no stack per character either.
re.Pattern = "(\w)\1": WScript.Echo re.Test(big), Err.Number
' expect: True 0
' Patterns a script can make that must end in an error, not a crash or a hang: nesting too
' deep to compile (5017), and a search that backtracks exponentially at one position (28).
Dim deep: deep = String(20000, "(") & "a" & String(20000, ")")
Dim subject: subject = String(60, "a") & "!c"
For Each p In Array(deep, String(251, "(") & String(251, ")"), "(a|aa)*c")
  r = Empty: Err.Clear: re.Pattern = p: r = re.Test(subject): s = Err.Number
  Err.Clear: r = re.Replace(subject, "x"): WScript.Echo s, Err.Number, IsEmpty(r)
Next
' expect: 5017 5017 True
' expect: 5017 5017 True
' expect: 28 28 True
' Nesting up to the limit compiles.
Err.Clear: re.Pattern = String(250, "(") & "a" & String(250, ")")
WScript.Echo re.Test("a"), re.Execute("xa")(0).SubMatches.Count, Err.Number
' expect: True 250 0
' New RegExp is the same object; its string arguments take True as "-1", as its interface
' converts them, where the language's own conversion says "True".
Set re = New RegExp
WScript.Echo TypeName(re), re.Global
' expect: IRegExp2 False
re.Pattern = True: re.Global = True
WScript.Echo re.Pattern, re.Replace("a-1b-1", False), re.Test(True), re.Execute(-1).Count, re.Replace(12.5, True)
' expect: -1 a0b0 True 1 12.5
