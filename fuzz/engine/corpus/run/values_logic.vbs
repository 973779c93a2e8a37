' Logical operators: Boolean on Booleans, bitwise on numbers, and the Null rules.
WScript.Echo True And False, True Or False, True Xor True, Not True, True Eqv False, False Imp True
' expect: False True False False False True
WScript.Echo 12 And 10, 12 Or 10, 12 Xor 10, Not 0, Not 5, TypeName(Not CByte(1)), Not CByte(1)
' expect: 8 14 6 -1 -6 Byte 254
WScript.Echo 6 Eqv 3, 6 Imp 3, TypeName(True And 3), True And 3
' expect: -6 -5 Integer 3
WScript.Echo IsNull(Null And True), Null And False, IsNull(Null Or False), Null Or True
' expect: True False True True
WScript.Echo IsNull(Not Null), IsNull(Null Xor True), IsNull(Null Eqv False)
' expect: True True True
WScript.Echo Null Imp True, IsNull(Null Imp False), False Imp Null, IsNull(True Imp Null)
' expect: True True True True
' Not binds below comparison; And below Not.
WScript.Echo Not 1 = 2, Not 1 = 1 And True
' expect: True False
If Null Then WScript.Echo "null is true" Else WScript.Echo "null is not true"
' expect: null is not true
