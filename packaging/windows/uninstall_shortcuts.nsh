; NSIS strings here are in single quotes: CPack passes the text on through CMake strings.
  ; The installing user's shortcuts; %LOCALAPPDATA%\Kestrun keeps the user's list.
  SetShellVarContext current
  Delete '$SMPROGRAMS\Velmora Kestrunner.lnk'
  Delete '$SMSTARTUP\Velmora Kestrunner.lnk'
  ; The rest went to all users when an administrator installed it, as the installer decides:
  ; its Start-menu folder and its entry among the installed programs.
  ClearErrors
  UserInfo::GetAccountType
  IfErrors kestrun_context_done
  Pop $R0
  StrCmp $R0 'Admin' kestrun_context_all
  StrCmp $R0 'Power' kestrun_context_all kestrun_context_done
  kestrun_context_all:
    SetShellVarContext all
    ReadRegStr $START_MENU SHCTX 'Software\Microsoft\Windows\CurrentVersion\Uninstall\Kestrun' 'StartMenu'
  kestrun_context_done:
