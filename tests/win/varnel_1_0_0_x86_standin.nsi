; Stands in for Varnel 1.0.0 as it was installed on 64-bit Windows: the
; 32-bit build in Program Files (x86), its Run and uninstall entries in the
; 32-bit registry view, and an uninstaller that removes what 1.0.0's did.
; Built for amd64 around the 64-bit exe, which this machine can run.
; Defines: VARNEL_EXE, VARNEL_OUTFILE.
Target amd64-unicode
RequestExecutionLevel admin
Name "Varnel"
OutFile "${VARNEL_OUTFILE}"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Varnel"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"

; Program Files (x86): under Wine the 64-bit stub's $PROGRAMFILES32 names the 64-bit one.
Function .onInit
  ReadEnvStr $INSTDIR "ProgramFiles(x86)"
  StrCpy $INSTDIR "$INSTDIR\Varnel"
FunctionEnd

Section
  SetShellVarContext all
  SetRegView 32
  SetOutPath "$INSTDIR"
  File "/oname=varnel.exe" "${VARNEL_EXE}"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortcut "$SMPROGRAMS\Varnel.lnk" "$INSTDIR\varnel.exe"
  WriteRegStr HKLM "${RUN_KEY}" "Varnel" '"$INSTDIR\varnel.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Varnel"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "1.0.0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  SetOutPath "$TEMP"
  Exec '"$INSTDIR\varnel.exe"'
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  SetRegView 32
  Delete "$INSTDIR\varnel.exe"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\Varnel.lnk"
  DeleteRegValue HKLM "${RUN_KEY}" "Varnel"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
