' A script saved with a UTF-8 byte order mark runs as if it had none.
WScript.Echo "bom"
' expect: bom
