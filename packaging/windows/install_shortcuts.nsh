; NSIS strings here are in single quotes: CPack passes the text on through CMake strings.
  ; The shortcuts start the program in the user's own folder (made here), never the install folder.
  SetShellVarContext current
  SetOutPath '$LOCALAPPDATA\Kestrun'
  CreateShortCut '$SMPROGRAMS\Velmora Kestrunner.lnk' '$INSTDIR\kestrun.exe' '' '$INSTDIR\kestrun.exe' 0
  ; start with Windows: asked, or given as /AUTOSTART on a silent install command line.
  StrCpy $R1 0
  kestrun_autostart_scan:
    StrCpy $R2 $CMDLINE 10 $R1
    StrCmp $R2 '/AUTOSTART' kestrun_autostart_yes
    StrCmp $R2 '' kestrun_autostart_ask
    IntOp $R1 $R1 + 1
    Goto kestrun_autostart_scan
  kestrun_autostart_ask:
    MessageBox MB_YESNO|MB_ICONQUESTION 'Start Velmora Kestrunner each time you log on to Windows?' /SD IDNO IDNO kestrun_autostart_done
  kestrun_autostart_yes:
    CreateShortCut '$SMSTARTUP\Velmora Kestrunner.lnk' '$INSTDIR\kestrun.exe' '' '$INSTDIR\kestrun.exe' 0
  kestrun_autostart_done:
  SetOutPath '$INSTDIR'
  StrCmp $SV_ALLUSERS 'AllUsers' 0 +2
    SetShellVarContext all
