' The runner's WScript object: named and unnamed arguments, the host's own properties,
' and a Timeout that stops the script.
' args: /out:report.txt first /v /b+ /c- /tmp/data.txt /OUT:last second
Set a = WScript.Arguments
WScript.Echo a.Count, a.Length, a.Named.Count, a.Named.Length, a.Unnamed.Count, a.Unnamed.Length
' expect: 8 8 4 4 3 3
' Every argument stays in Arguments as given; a path is no named argument.
WScript.Echo a(0), a.Item(5), a.Unnamed(0), a.Unnamed.Item(1), a.Unnamed(2)
' expect: /out:report.txt /tmp/data.txt first /tmp/data.txt second
Dim n, s
For Each n In a.Named: s = s & n & "=" & TypeName(a.Named(n)) & ":" & a.Named.Item(n) & " ": Next
WScript.Echo s
' expect: out=String:last v=Empty: b=Boolean:True c=Boolean:False 
WScript.Echo a.Named.Exists("OUT"), a.Named.Exists("first"), IsEmpty(a.Named("missing")), TypeName(a.Named)
' expect: True False True IWshNamed
s = ""
For Each n In a.Unnamed: s = s & "[" & n & "]": Next
WScript.Echo s
' expect: [first][/tmp/data.txt][second]

' The host: this program's path and folder, the version scripts test for.
Dim full: full = WScript.FullName
WScript.Echo Right(full, 16), WScript.Path & "/sablewick-script" = full, WScript.Name, WScript.Version >= "5.6", TypeName(WScript.BuildVersion)
' expect: sablewick-script True Windows Script Host True Long
WScript.Echo WScript.Interactive, WScript.Timeout
' expect: False 0
WScript.Interactive = True
WScript.Echo WScript.Interactive, TypeName(WScript.CreateObject("Scripting.Dictionary", "Dict_")), TypeName(WScript.GetObject("", "Scripting.Dictionary"))
' expect: True Dictionary Dictionary
On Error Resume Next
WScript.GetObject "/no/such/object"
WScript.Echo Err.Number
' expect: 429
Err.Clear
WScript.Timeout = -1
WScript.Echo Err.Number
' expect: 5
On Error GoTo 0

' Timeout counts from the script's start and cannot be caught.
WScript.Timeout = 1
WScript.Echo WScript.Timeout
' expect: 1
On Error Resume Next
Do
Loop
' expect error: (45, 1) error 18: Script timed out
