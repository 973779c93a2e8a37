' Date arithmetic, parts, names and formats (en-US, Sunday first).
WScript.Echo DateAdd("m", 1, #1/31/2004#), DateAdd("m", 1, #1/31/2005#), DateAdd("yyyy", 1, #2/29/2004#), DateAdd("q", -1, #5/31/2004#), DateAdd("ww", 2, #12/25/2003#)
' expect: 2/29/2004 2/28/2005 2/28/2005 2/29/2004 1/8/2004
WScript.Echo DateAdd("d", 1, #12/31/1999 11:30 PM#), DateAdd("h", -1, #1/1/2000#), DateAdd("n", 90, #1:00 PM#), DateAdd("s", 59, #1/1/2000 11:59:01 PM#), DateAdd("y", 1, "2/28/2001"), DateAdd("w", 1, #3/3/2001#)
' expect: 1/1/2000 11:30:00 PM 12/31/1999 11:00:00 PM 2:30:00 PM 1/2/2000 3/1/2001 3/4/2001
WScript.Echo DateAdd("d", -1, #12/30/1899#), DateAdd("h", 6, #12/29/1899#), TypeName(DateAdd("d", 1, "1/1/2000")), IsNull(DateAdd("d", 1, Null))
' expect: 12/29/1899 12/29/1899 6:00:00 AM Date True
WScript.Echo DateDiff("d", #1/1/2000#, #3/1/2000#), DateDiff("d", #3/1/2000#, #1/1/2000#), DateDiff("m", #1/31/2000#, #2/1/2000#), DateDiff("yyyy", #12/31/1999#, #1/1/2000#), DateDiff("q", #3/31/2000#, #4/1/2000#)
' expect: 60 -60 1 1 1
WScript.Echo DateDiff("ww", #1/1/2000#, #1/31/2000#), DateDiff("ww", #1/1/2000#, #1/31/2000#, vbMonday), DateDiff("w", #1/1/2000#, #1/31/2000#), DateDiff("h", #1/1/2000 11:59 PM#, #1/2/2000#), DateDiff("n", #1:00 PM#, #1:30:59 PM#), DateDiff("s", #1/1/2000#, #1/2/2000#)
' expect: 5 5 4 1 30 86400
WScript.Echo DatePart("yyyy", #7/4/2004#), DatePart("q", #7/4/2004#), DatePart("m", #7/4/2004#), DatePart("y", #12/31/2004#), DatePart("d", #7/4/2004#), DatePart("w", #7/4/2004#), DatePart("w", #7/4/2004#, vbMonday), DatePart("h", #3:04:05 PM#), DatePart("n", #3:04:05 PM#), DatePart("s", #3:04:05 PM#)
' expect: 2004 3 7 366 4 1 7 15 4 5
' Weeks of the year under each first-week rule: 1/1/2005 was a Saturday.
WScript.Echo DatePart("ww", #1/1/2005#), DatePart("ww", #1/2/2005#), DatePart("ww", #12/31/2005#), DatePart("ww", #1/1/2005#, vbMonday, vbFirstFourDays), DatePart("ww", #1/3/2005#, vbMonday, vbFirstFourDays), DatePart("ww", #1/1/2005#, vbSunday, vbFirstFullWeek), DatePart("ww", #1/2/2005#, vbSunday, vbFirstFullWeek)
' expect: 1 2 53 53 1 52 1
WScript.Echo DateValue("March 5, 2001 10:00"), TimeValue("3/5/2001 2:30 PM"), DateValue(#1/2/2003 4:00 AM#), TimeValue("14:05:06"), TypeName(DateValue("1/1/2000"))
' expect: 3/5/2001 2:30:00 PM 1/2/2003 2:05:06 PM Date
WScript.Echo WeekdayName(1), WeekdayName(7, True), WeekdayName(1, False, vbMonday), WeekdayName(3, True, vbSaturday), MonthName(1), MonthName(9, True), MonthName(12, False)
' expect: Sunday Sat Monday Mon January Sep December
Dim t: t = #3/4/2003 1:02:03 PM#
WScript.Echo FormatDateTime(t), "|", FormatDateTime(t, vbLongDate), "|", FormatDateTime(t, vbShortDate), "|", FormatDateTime(t, vbLongTime), "|", FormatDateTime(t, vbShortTime)
' expect: 3/4/2003 1:02:03 PM | Tuesday, March 4, 2003 | 3/4/2003 | 1:02:03 PM | 13:02
WScript.Echo FormatDateTime(#1/1/2000#), FormatDateTime(#9:05 AM#, vbShortTime), FormatDateTime("2/3/2004", vbLongDate)
' expect: 1/1/2000 09:05 Tuesday, February 3, 2004
' Text to date and back, as en-US.
WScript.Echo CDate(CStr(t)) = t, CStr(CDate("12/31/1999 11:59:59 PM")), CDate("Jan 2, 2003"), CDate("2003-01-02"), IsDate("2/30/2003"), IsDate("13/1/2003 25:00")
' expect: True 12/31/1999 11:59:59 PM 1/2/2003 1/2/2003 False False
WScript.Echo Weekday(#7/4/2004#), Weekday(#7/4/2004#, vbMonday), Weekday(#7/4/2004#, vbUseSystemDayOfWeek), Year(DateSerial(99, 1, 1)), DateSerial(2004, 2, 30), TimeSerial(12, -1, 0)
' expect: 1 7 1 1999 3/1/2004 11:59:00 AM
Dim cases, c, out
cases = Array("DateAdd(""x"", 1, Now)", "DateDiff(""d"", Now, Now, 8)", "DatePart(""ww"", Now, 1, 4)", "DateAdd(""yyyy"", 9000, #1/1/2000#)", "WeekdayName(0)", "MonthName(13)", "FormatDateTime(Now, 5)", "DateValue(""hello"")", "Weekday(Now, 8)")
On Error Resume Next
For Each c In cases
  Err.Clear
  Dim r: r = Eval(c)
  out = out & Err.Number & " "
Next
On Error GoTo 0
WScript.Echo out
' expect: 5 5 5 5 5 5 5 13 5 
