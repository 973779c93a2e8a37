' Startup.vbs: the node runs this file once each time it starts (as soon as it is on the xAP
' network and scripts can reach it). Subscriptions last as long as the node runs, so this is
' where they are made. Keep the lines of the handlers you use and delete the others.
'
' SelectXapMessage target, class, section, source, script
'   target, section, source: empty for any; addresses take wildcards ("acme.pir.>" is every
'   address below acme.pir, "*" one part of it); class: empty for any, else the class exactly
'   (letter case ignored); script: a file in Scripts/ (letter case ignored).
' Each call makes one subscription (the same five texts a second time make none); the node
' numbers them from 1 in the order made and starts the script with that number.

Option Explicit

Dim hs
Set hs = CreateObject("Sablewick.Application")

' NightLight.vbs: movement reported by the motion sensors below acme.pir (xAPBSC.event).
hs.SelectXapMessage "", "xAPBSC.event", "", "acme.pir.>", "NightLight.vbs"

' TempLog.vbs: every message of the sensors below acme.thermo (the script keeps the
' xAPBSC.event and xAPBSC.info ones). One subscription, so one run at a time writes the file
' and the lines keep the order the messages came in.
hs.SelectXapMessage "", "", "", "acme.thermo.>", "TempLog.vbs"

' LcdText.vbs: display messages from anyone.
hs.SelectXapMessage "", "Message.Display", "", "", "LcdText.vbs"

' What this script prints goes to the node's log (Data/Sablewick.txt).
WScript.Echo "subscriptions made"
