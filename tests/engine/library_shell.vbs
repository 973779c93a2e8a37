' WScript.Shell in the runner: programs start without a shell, from words split here.
Set sh = CreateObject("WScript.Shell")
WScript.Echo sh.Run("sh -c ""exit 3""", 0, True), sh.Run("true", 0, False), sh.Run("sh -c ""exit $#"" a ""b c"" d", 0, True)
' expect: 3 0 2
Set e = sh.Exec("sh -c ""echo out1; echo err1 >&2; echo out2; exit 4""")
s = ""
Do While Not e.StdOut.AtEndOfStream: s = s & e.StdOut.ReadLine & ",": Loop
WScript.Echo s, e.StdErr.ReadAll = "err1" & vbLf
n = 0
Do While e.Status = 0 And n < 500: WScript.Sleep 10: n = n + 1: Loop
WScript.Echo e.Status, e.ExitCode, e.ProcessID > 0, TypeName(e)
' expect: out1,out2, True
' expect: 1 4 True WshExec
' A child that fills its error pipe while the script reads standard output must not stall.
Set e = sh.Exec("sh -c ""head -c 200000 /dev/zero >&2; echo done""")
WScript.Echo e.StdOut.ReadLine, Len(e.StdErr.ReadAll)
' expect: done 200000
Set c = sh.Exec("cat"): c.StdIn.Write "hi": c.StdIn.WriteLine " there": c.StdIn.Close
WScript.Echo c.StdOut.ReadAll = "hi there" & vbLf
' expect: True
Set p = sh.Exec("sleep 30"): WScript.Echo p.Status: p.Terminate
n = 0: Do While p.Status = 0 And n < 500: WScript.Sleep 10: n = n + 1: Loop
WScript.Echo p.Status, p.ExitCode
' expect: 0
' expect: 1 143
Set env = sh.Environment("PROCESS")
env("SW_LIB_TEST") = "v1"
WScript.Echo env("SW_LIB_TEST"), sh.Environment()("SW_LIB_TEST"), sh.ExpandEnvironmentStrings("<%SW_LIB_TEST%|%SW_NOT_SET_X%|%%>"), sh.Run("sh -c ""test $SW_LIB_TEST = v1""", 0, True)
env.Remove "SW_LIB_TEST"
WScript.Echo "[" & env("SW_LIB_TEST") & "]"
' expect: v1 v1 <v1|%SW_NOT_SET_X%|%%> 0
' expect: []
old = sh.CurrentDirectory
sh.CurrentDirectory = "/"
WScript.Echo sh.CurrentDirectory
sh.CurrentDirectory = old
WScript.Echo sh.CurrentDirectory = old
' expect: /
' expect: True
On Error Resume Next
sh.Run "no-such-program-sw-test"
WScript.Echo Hex(Err.Number)
Err.Clear
Set x = sh.Exec("./no/such/file")
WScript.Echo Hex(Err.Number)
' expect: 80070002
' expect: 80070002
