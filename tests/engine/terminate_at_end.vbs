' Objects still alive when the script ends have their Class_Terminate run then, once
' each, oldest first: held by a variable, in a cycle, or already gone before the end.
Class Closer
  Public Name, Other
  Private Sub Class_Terminate() : WScript.Echo "closed " & Name : End Sub
End Class
Function Make(name) : Set Make = New Closer : Make.Name = name : End Function
Set kept = Make("kept")
Set gone = Make("gone")
Set gone = Nothing
' expect: closed gone
Set one = Make("one") : Set two = Make("two")
Set one.Other = two : Set two.Other = one
Set one = Nothing : Set two = Nothing
Sub Local() : Set inner = Make("local") : End Sub
Local
' expect: closed local
Dim list(1) : Set list(1) = Make("in an array")
WScript.Echo "end of script"
' expect: end of script
' expect: closed kept
' expect: closed one
' expect: closed two
' expect: closed in an array
