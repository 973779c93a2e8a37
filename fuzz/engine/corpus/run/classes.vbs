' Classes: fields, properties, default member, Me, Initialize/Terminate, Is, Nothing.
Class Account
  Private balance_
  Public Owner
  Private Sub Class_Initialize()
    balance_ = 0
    Owner = "nobody"
  End Sub
  Private Sub Class_Terminate()
    WScript.Echo "closing " & Owner
  End Sub
  Public Property Get Balance()
    Balance = balance_
  End Property
  Public Property Let Balance(v)
    If v < 0 Then Err.Raise 5
    balance_ = v
  End Property
  Public Function Deposit(amount)
    balance_ = balance_ + amount
    Set Deposit = Me
  End Function
  Public Default Function Describe()
    Describe = Owner & ":" & balance_
  End Function
  Private Function Secret()
    Secret = "hidden"
  End Function
  Public Function Reveal()
    Reveal = Secret() & "/" & Me.Secret()
  End Function
End Class

Dim acct: Set acct = New Account
acct.Owner = "ann"
acct.Balance = 10
acct.Deposit(5).Deposit 7
WScript.Echo acct.Balance, acct, acct.Describe(), TypeName(acct)
' expect: 22 ann:22 ann:22 Account
WScript.Echo acct.Reveal()
' expect: hidden/hidden
Dim other: Set other = acct
WScript.Echo other Is acct, IsObject(acct), acct Is Nothing
' expect: True True False
Set acct = Nothing
WScript.Echo "still held"
' expect: still held
Set other = Nothing
' expect: closing ann
On Error Resume Next
Dim b: Set b = New Account
b.Secret
WScript.Echo Err.Number
' expect: 438
Err.Clear
b.Balance = -1
WScript.Echo Err.Number, b.Balance
' expect: 5 0
Err.Clear
x = b.NoSuchThing
WScript.Echo Err.Number
' expect: 438
Err.Clear
On Error GoTo 0

Class Node
  Public Value, NextNode
  Public Property Set Link(n)
    Set NextNode = n
  End Property
  Public Property Get Link()
    Set Link = NextNode
  End Property
End Class
Dim n1, n2
Set n1 = New Node: n1.Value = 1
Set n2 = New Node: n2.Value = 2
Set n1.Link = n2
WScript.Echo n1.Link.Value, n1.NextNode.Value, IsEmpty(n2.NextNode)
' expect: 2 2 True

Class Stack
  Private items(), count
  Private Sub Class_Initialize(): count = 0: ReDim items(4): End Sub
  Public Sub Push(v)
    If count > UBound(items) Then ReDim Preserve items(count * 2)
    items(count) = v: count = count + 1
  End Sub
  Public Function Pop(): count = count - 1: Pop = items(count): End Function
  Public Property Get Size(): Size = count: End Property
End Class
Dim st: Set st = New Stack
For i = 1 To 12: st.Push i * i: Next
WScript.Echo st.Size, st.Pop(), st.Pop(), st.Size
' expect: 12 144 121 10
With st
  .Push "w"
  WScript.Echo .Size, .Pop()
End With
' expect: 11 w
Set b = Nothing
' expect: closing nobody
