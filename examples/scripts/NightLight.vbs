' NightLight.vbs: switches a light on when a motion sensor reports movement, but only between
' sunset and sunrise. The sun times are worked out here from the place below, every time, so
' nothing needs updating through the year.
'
' Startup.vbs subscribes this script to the motion sensor's xAPBSC.event messages; the node
' starts it with one argument, the subscription's position, whenever such messages arrive.
'
' Adapt:
'   Latitude, Longitude  where you live, in degrees: north and east positive, south and west
'                        negative (Amsterdam 52.37, 4.90; New York 40.71, -74.01)
'   LightTarget          the xAP address of the light's BSC output endpoint, "device:endpoint"
'   LightId              the endpoint's id as the device numbers it ("*" for the one the
'                        target names); a BSC device refuses a command without id and State
'   MotionState          the state the sensor reports for movement (most say "on")

Option Explicit

Const Latitude = 52.37
Const Longitude = 4.90
Const LightTarget = "acme.light.hall:porch"
Const LightId = "*"
Const MotionState = "on"

' The sun's centre this many degrees below the horizon counts as sunset and sunrise (the
' official definition, refraction included). 96 gives civil twilight: the light comes on later.
Const Zenith = 90.833

Dim hs, position, msg, night
Set hs = CreateObject("Sablewick.Application")
position = WScript.Arguments(0)

night = IsNight()
' Fetch until there are none left: every message queued for this subscription is handled in
' this run, and messages that arrive meanwhile are fetched too.
Set msg = hs.GetXapMessage(position)
Do Until msg Is Nothing
  ' GetItem gives the text "Unknown" when the section or the item is missing.
  If LCase(msg.GetItem("input.state", "state")) = LCase(MotionState) Then
    If night Then
      hs.SendXapMessage LightTarget, "xAPBSC.cmd", "output.state.1", _
          "id" & Chr(1) & LightId & Chr(0) & "State" & Chr(1) & "on", "", "", ""
      WScript.Echo "motion at " & msg.msgSource & ": light " & LightTarget & " on"
    Else
      WScript.Echo "motion at " & msg.msgSource & ": daylight, light left alone"
    End If
  End If
  Set msg = hs.GetXapMessage(position)
Loop

' ---- the sun -------------------------------------------------------------------------------

' True between sunset and sunrise at Latitude/Longitude, now.
Function IsNight()
  Dim utcNow, dayOfYear, rise, down
  utcNow = DateAdd("n", -UtcOffsetMinutes(), Now)
  dayOfYear = DatePart("y", utcNow)
  rise = SunTime(dayOfYear, True)
  down = SunTime(dayOfYear, False)
  If rise = -1 Then          ' the sun does not rise today (polar night)
    IsNight = True
  ElseIf rise = -2 Then      ' nor set (midnight sun)
    IsNight = False
  Else
    Dim clock
    clock = Hour(utcNow) + Minute(utcNow) / 60 + Second(utcNow) / 3600
    If rise < down Then
      IsNight = clock < rise Or clock >= down
    Else                     ' sunset falls before sunrise on the UTC clock (far east or west)
      IsNight = clock >= down And clock < rise
    End If
  End If
End Function

' The hour (UTC, 0 to 24) of sunrise (rising True) or sunset on the given day of the year;
' -1 when the sun stays below the horizon all day, -2 when it stays above. After the almanac
' method of the US Naval Observatory, good to a minute or two away from the poles.
Function SunTime(dayOfYear, rising)
  Dim lngHour, t, m, l, ra, sinDec, cosDec, cosH, h, ut
  lngHour = Longitude / 15
  If rising Then t = dayOfYear + (6 - lngHour) / 24 Else t = dayOfYear + (18 - lngHour) / 24
  m = 0.9856 * t - 3.289                                   ' the sun's mean anomaly
  l = Wrap(m + 1.916 * SinD(m) + 0.02 * SinD(2 * m) + 282.634, 360)  ' its true longitude
  ra = Wrap(Atn(0.91764 * TanD(l)) * Deg(), 360)            ' right ascension, same quadrant as l
  ra = (ra + Int(l / 90) * 90 - Int(ra / 90) * 90) / 15
  sinDec = 0.39782 * SinD(l)                                ' declination
  cosDec = Cos(ASin(sinDec))
  cosH = (CosD(Zenith) - sinDec * SinD(Latitude)) / (cosDec * CosD(Latitude))
  If cosH > 1 Then
    SunTime = -1
    Exit Function
  ElseIf cosH < -1 Then
    SunTime = -2
    Exit Function
  End If
  h = ACos(cosH) * Deg()
  If rising Then h = 360 - h
  ut = h / 15 + ra - 0.06571 * t - 6.622 - lngHour
  SunTime = Wrap(ut, 24)
End Function

' The engine has Sin, Cos, Tan and Atn in radians; the rest is made of them.
Function Deg()
  Deg = 45 / Atn(1)
End Function
Function SinD(x)
  SinD = Sin(x / Deg())
End Function
Function CosD(x)
  CosD = Cos(x / Deg())
End Function
Function TanD(x)
  TanD = Tan(x / Deg())
End Function
Function ASin(x)
  If Abs(x) >= 1 Then ASin = Sgn(x) * 2 * Atn(1) Else ASin = Atn(x / Sqr(1 - x * x))
End Function
Function ACos(x)
  ACos = 2 * Atn(1) - ASin(x)
End Function
Function Wrap(x, range)
  Wrap = x - Int(x / range) * range
End Function

' Minutes this machine's clock is ahead of UTC (Now is local time); from date(1), which knows
' the time zone and its summer time.
Function UtcOffsetMinutes()
  Dim run, z, waited
  Set run = CreateObject("WScript.Shell").Exec("date +%z")
  z = Trim(run.StdOut.ReadAll)
  ' Waiting for its end collects it (else the node does, later).
  Do While run.Status = 0 And waited < 100
    WScript.Sleep 10
    waited = waited + 1
  Loop
  z = Replace(Replace(z, vbLf, ""), vbCr, "")
  If Len(z) <> 5 Then
    UtcOffsetMinutes = 0
  Else
    UtcOffsetMinutes = CInt(Mid(z, 2, 2)) * 60 + CInt(Mid(z, 4, 2))
    If Left(z, 1) = "-" Then UtcOffsetMinutes = -UtcOffsetMinutes
  End If
End Function
