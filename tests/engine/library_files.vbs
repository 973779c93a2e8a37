' Scripting.FileSystemObject in a fresh folder under the temporary directory.
Set fso = CreateObject("Scripting.FileSystemObject")
d = fso.BuildPath(fso.GetSpecialFolder(2).Path, "sw-fso-" & fso.GetTempName)
WScript.Echo fso.FolderExists(d), TypeName(fso.CreateFolder(d)), fso.FolderExists(d), fso.FileExists(d)
' expect: False Folder True False
WScript.Echo fso.GetFileName("C:\dir\file.tar.gz"), fso.GetBaseName("a/file.tar.gz"), fso.GetExtensionName("a\file.tar.gz"), "[" & fso.GetExtensionName("noext") & "]", fso.GetParentFolderName("a\b\c\"), fso.GetParentFolderName("/x"), "[" & fso.GetParentFolderName("x") & "]", fso.BuildPath("a", "b"), fso.BuildPath("a/", "b")
' expect: file.tar.gz file.tar gz [] a\b / [] a/b a/b
fso.CreateFolder d & "\sub"
Set t = fso.CreateTextFile(d & "\sub\a.txt")
t.WriteLine "line one": t.Write "x": t.WriteBlankLines 2: t.WriteLine "end": t.Close
Set t = fso.OpenTextFile(d & "/sub/a.txt", 1)
s = ""
Do Until t.AtEndOfStream: s = s & t.Line & ":" & t.ReadLine & "|": Loop
t.Close
WScript.Echo s
' expect: 1:line one|2:x|3:|4:end|
Set t = fso.OpenTextFile(d & "/sub/a.txt", 8): t.Write "more": t.Close
Set t = fso.OpenTextFile(d & "/sub/a.txt")
WScript.Echo t.Read(4), t.Column, t.AtEndOfLine: t.SkipLine: WScript.Echo t.ReadLine, Len(t.ReadAll), t.AtEndOfStream
t.Close
' expect: line 5 False
' expect: x 9 True
Set f = fso.GetFile(d & "/sub/a.txt")
WScript.Echo f.Name, f.Size, TypeName(f.DateLastModified), Abs(DateDiff("n", f.DateLastModified, Now)) < 5, f.ParentFolder.Name, f.Path = fso.GetAbsolutePathName(d & "/sub/a.txt")
' expect: a.txt 20 Date True sub True
fso.CopyFile d & "/sub/a.txt", d & "/sub/b.txt"
fso.CopyFile d & "/sub/*.txt", d & "/"
fso.MoveFile d & "/sub/b.txt", d & "/sub/c.log"
names = ""
For Each f In fso.GetFolder(d & "/sub").Files: names = names & f.Name & "," : Next
WScript.Echo names, fso.GetFolder(d).Files.Count, fso.GetFolder(d).SubFolders.Count, fso.GetFolder(d).SubFolders("sub").Name, fso.GetFolder(d).Size
' expect: a.txt,c.log, 2 1 sub 80
Set t = fso.OpenTextFile(d & "/new.txt", 2, True): t.Write "w": t.Close
Set t = fso.CreateTextFile(d & "/new.txt", True): t.Close
WScript.Echo fso.GetFile(d & "/new.txt").Size
' expect: 0
' The language's errors, one table.
Dim cases, c, out
cases = Array("fso.GetFile(d & ""/none"")", "fso.GetFolder(d & ""/none"")", "fso.CreateFolder(d & ""/sub"")", _
  "fso.OpenTextFile(d & ""/none"")", "fso.OpenTextFile(d & ""/none"", 2)", "fso.OpenTextFile(d & ""/a.txt"", 3)", _
  "fso.CreateTextFile(d & ""/a.txt"", False)", "fso.DeleteFile(d & ""/none"")", "fso.DeleteFolder(d & ""/none"")", _
  "fso.OpenTextFile(d & ""/a.txt"").Write(""x"")", "fso.OpenTextFile(d & ""/new.txt"").ReadLine", "fso.OpenTextFile(d & ""/a.txt"", 8).ReadLine")
On Error Resume Next
For Each c In cases
  Err.Clear
  Dim r: Set r = Nothing
  r = Eval(c)
  out = out & Err.Number & " "
Next
On Error GoTo 0
WScript.Echo out
' expect: 53 76 58 53 53 5 58 53 76 54 62 54 
fso.DeleteFile d & "/sub/*.txt"
WScript.Echo fso.FileExists(d & "/sub/a.txt"), fso.FileExists(d & "/sub/c.log")
' expect: False True
fso.DeleteFolder d
WScript.Echo fso.FolderExists(d)
' expect: False
