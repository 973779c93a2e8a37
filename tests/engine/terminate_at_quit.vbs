' WScript.Quit ends the script the same way: the terminators still run.
Class Flusher
  Private Sub Class_Terminate() : WScript.Echo "flushed" : End Sub
End Class
Set f = New Flusher
WScript.Quit 3
' expect: flushed
' expect exit: 3
