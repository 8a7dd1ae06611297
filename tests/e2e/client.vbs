' client.vbs -- an automation client of the listener: creates "KVLUMEN.Listener", starts it, waits until told, stops it.
'
'   cscript //nologo client.vbs GO_FILE SECONDS
'
' Prints "listening on port <port> (<type of the argument>)" once Start has returned the port
' through its by-reference argument, then waits until GO_FILE exists (the test creates it after
' its printer requests went through) or SECONDS have passed, calls Stop and prints "stopped".
' Wine's script host reports no runtime error and has neither WScript.Sleep nor StdIn, so every
' failure is caught here, printed and turned into an exit code, and waiting runs a short child
' program per round.
Option Explicit
On Error Resume Next

Dim listener, info, fso, shell, started, elapsed, limit, goFile

If WScript.Arguments.Count <> 2 Then
  WScript.Echo "usage: client.vbs GO_FILE SECONDS"
  WScript.Quit 9
End If
goFile = WScript.Arguments(0)
limit = CLng(WScript.Arguments(1))

Set listener = CreateObject("KVLUMEN.Listener")
If Err.Number <> 0 Then
  WScript.Echo "CreateObject failed: 0x" & Hex(Err.Number) & " " & Err.Description
  WScript.Quit 2
End If

' A variable (not an expression) as the argument: VBScript passes it by reference, and Start
' writes the port into it.
info = Empty
listener.Start info
If Err.Number <> 0 Then
  WScript.Echo "Start failed: 0x" & Hex(Err.Number) & " " & Err.Description
  WScript.Quit 3
End If
WScript.Echo "listening on port " & info & " (" & TypeName(info) & ")"

Set fso = CreateObject("Scripting.FileSystemObject")
Set shell = CreateObject("WScript.Shell")
If Err.Number <> 0 Then
  WScript.Echo "helper objects failed: 0x" & Hex(Err.Number)
  listener.Stop
  WScript.Quit 5
End If
started = Timer
Do
  If fso.FileExists(goFile) Then Exit Do
  elapsed = Timer - started
  If elapsed < 0 Then elapsed = elapsed + 86400  ' Timer restarts at midnight
  If elapsed > limit Then
    WScript.Echo "no go file after " & limit & " s"
    Exit Do
  End If
  shell.Run "cmd /c exit", 0, True
Loop

listener.Stop
If Err.Number <> 0 Then
  WScript.Echo "Stop failed: 0x" & Hex(Err.Number) & " " & Err.Description
  WScript.Quit 4
End If
WScript.Echo "stopped"
WScript.Quit 0
