' The Err object: what Raise keeps, status codes as the language's numbers.
On Error Resume Next
Sub RaiseInside() : Err.Raise 1001, "Lib", "inside", "lib.chm", 42 : End Sub
RaiseInside
WScript.Echo Err.Number, Err.Source, Err.Description, Err.HelpFile, Err.HelpContext
' expect: 1001 Lib inside lib.chm 42
' A Raise that leaves fields out keeps what the Err object holds.
Err.Raise 1002
WScript.Echo Err.Number, Err.Source, Err.Description, Err.HelpFile, Err.HelpContext
' expect: 1002 Lib inside lib.chm 42
Err.Raise 1003, , , "other.chm"
WScript.Echo Err.Number, Err.Source, Err.Description, Err.HelpFile, Err.HelpContext
' expect: 1003 Lib inside other.chm 42
' After Clear the defaults come back.
Err.Clear
Err.Raise 11
WScript.Echo Err.Number, Err.Source, Err.Description, "[" & Err.HelpFile & "]", Err.HelpContext
' expect: 11 Microsoft VBScript runtime error Division by zero [] 0
' An error of the engine itself has no help.
Err.Raise 5, , , "h.chm", 7
x = 1 / 0
WScript.Echo Err.Number, "[" & Err.HelpFile & "]", Err.HelpContext
' expect: 11 [] 0
' Status codes: well-known ones and the language's own become its numbers, others stay.
Dim code
For Each code In Array(&h80070057, &h8007000E, &h80070005, &h80004001, &h80020006, _
                       &h8002000B, &h80040154, &h800A000D, &h800A01AD, &h80004005, 1234)
  Err.Clear
  Err.Raise code
  WScript.Echo Hex(code) & " " & Err.Number & " " & Err.Description
Next
' expect: 80070057 5 Invalid procedure call or argument
' expect: 8007000E 7 Out of memory
' expect: 80070005 70 Permission denied
' expect: 80004001 445 Object doesn't support this action
' expect: 80020006 438 Object doesn't support this property or method
' expect: 8002000B 9 Subscript out of range
' expect: 80040154 429 ActiveX component can't create object
' expect: 800A000D 13 Type mismatch
' expect: 800A01AD 429 ActiveX component can't create object
' expect: 80004005 -2147467259 Unknown runtime error
' expect: 4D2 1234 Unknown runtime error
' Assigning to a procedure's name outside it runs a procedure without parameters (its
' error is the statement's) and is refused otherwise.
Function Fails() : Err.Raise 1004, "Fails", "from Fails" : End Function
Function Quiet() : Quiet = 1 : End Function
Function Takes(n) : Takes = n : End Function
Err.Clear
Fails = 1
WScript.Echo Err.Number, Err.Description
' expect: 1004 from Fails
Err.Clear
Quiet = 1
WScript.Echo Err.Number
' expect: 501
Err.Clear
Takes = 1
WScript.Echo Err.Number
' expect: 501
