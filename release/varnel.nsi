; The installer of Varnel: per machine into Program Files, a Start menu
; entry, a start at every user's logon, and an uninstaller.
; Made by release/CMakeLists.txt with these defines:
;   VARNEL_VERSION  the project version, x.y.z
;   VARNEL_TARGET   x86-unicode (the product) or amd64-unicode
;   VARNEL_EXE      the varnel.exe to install
;   VARNEL_OUTFILE  the installer to write
!ifndef VARNEL_VERSION | VARNEL_TARGET | VARNEL_EXE | VARNEL_OUTFILE
  !error "VARNEL_VERSION, VARNEL_TARGET, VARNEL_EXE and VARNEL_OUTFILE must be defined"
!endif

Target ${VARNEL_TARGET}
SetCompressor /SOLID lzma
ManifestSupportedOS all
ManifestDPIAware true
RequestExecutionLevel admin

!include MUI2.nsh
!include LogicLib.nsh
!include WinMessages.nsh

!define PRODUCT "Varnel"
!define WINDOW_CLASS "VarnelWnd"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Varnel"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
; How long a running instance is given to close its links and end.
!define STOP_WAIT_MS 30000

Name "${PRODUCT}"
OutFile "${VARNEL_OUTFILE}"
; $PROGRAMFILES is the folder of the installer's own bitness: Program Files
; (x86) for the 32-bit product on 64-bit Windows.
InstallDir "$PROGRAMFILES\${PRODUCT}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${PRODUCT} ${VARNEL_VERSION}"

VIProductVersion "${VARNEL_VERSION}.0"
VIFileVersion "${VARNEL_VERSION}.0"
VIAddVersionKey /LANG=1058 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1058 "ProductVersion" "${VARNEL_VERSION}"
VIAddVersionKey /LANG=1058 "FileVersion" "${VARNEL_VERSION}"
VIAddVersionKey /LANG=1058 "FileDescription" "Встановлення ${PRODUCT} ${VARNEL_VERSION}"
VIAddVersionKey /LANG=1058 "CompanyName" "${PRODUCT}"
VIAddVersionKey /LANG=1058 "LegalCopyright" "${PRODUCT}"

!define MUI_ABORTWARNING
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_TEXT "Запустити ${PRODUCT}"
!define MUI_FINISHPAGE_RUN_FUNCTION StartProgram
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "Ukrainian"

LangString STILL_RUNNING ${LANG_UKRAINIAN} \
  "${PRODUCT} не завершив роботу. Закрийте його (меню значка, $\"Вихід$\") і натисніть $\"Повтор$\"."

; Ends a running instance the way the tray menu's "Вихід" does: Escape in
; its window destroys the window, the message loop ends and every link is
; closed; then waits for the process to end, so that its exe can be
; replaced or deleted. Never kills it: when it does not end, the user is
; asked to close it, and a silent run gives up with exit code 2.
!macro STOP_PROGRAM un
Function ${un}StopProgram
  Push $0
  Push $1
  Push $2
  Push $3
  retry:
  FindWindow $0 "${WINDOW_CLASS}" "${PRODUCT}"
  ${If} $0 <> 0
    StrCpy $1 0
    System::Call "user32::GetWindowThreadProcessId(p r0, *i .r1) i"
    ; SYNCHRONIZE
    System::Call "kernel32::OpenProcess(i 0x00100000, i 0, i r1) p .r2"
    System::Call "user32::PostMessage(p r0, i ${WM_CHAR}, p 0x1B, p 0) i"
    StrCpy $3 -1
    ${If} $2 P<> 0
      System::Call "kernel32::WaitForSingleObject(p r2, i ${STOP_WAIT_MS}) i .r3"
      System::Call "kernel32::CloseHandle(p r2)"
    ${EndIf}
    ; WAIT_OBJECT_0: ended. Another instance may still run (a second session).
    ${If} $3 = 0
      Goto retry
    ${EndIf}
    MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "$(STILL_RUNNING)" /SD IDCANCEL IDRETRY retry
    SetErrorLevel 2
    Quit
  ${EndIf}
  Pop $3
  Pop $2
  Pop $1
  Pop $0
FunctionEnd
!macroend
!insertmacro STOP_PROGRAM ""
!insertmacro STOP_PROGRAM "un."

; Started by the installer itself, so with its rights until the next logon
; starts it as the user; its working folder is not the install folder, which
; must stay free to be removed.
Function StartProgram
  SetOutPath "$TEMP"
  Exec '"$INSTDIR\varnel.exe"'
FunctionEnd

Section "${PRODUCT}"
  SetShellVarContext all
  Call StopProgram

  ; An installed version is removed first by its own uninstaller, wherever
  ; it was installed, so nothing of it stays behind. _?= keeps the
  ; uninstaller in place, so ExecWait waits for it.
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $0 != ""
  ${AndIf} ${FileExists} "$0\uninstall.exe"
    ExecWait '"$0\uninstall.exe" /S _?=$0'
    Delete "$0\uninstall.exe"
    RMDir "$0"
  ${EndIf}

  SetOutPath "$INSTDIR"
  File "/oname=varnel.exe" "${VARNEL_EXE}"
  File "${VARNEL_TRACE_CMD}"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\varnel.exe"
  WriteRegStr HKLM "${RUN_KEY}" "${PRODUCT}" '"$INSTDIR\varnel.exe"'

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VARNEL_VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" '"$INSTDIR\varnel.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; The finish page starts it in an interactive run; a silent one starts it here.
Function .onInstSuccess
  ${If} ${Silent}
    Call StartProgram
  ${EndIf}
FunctionEnd

Section "Uninstall"
  SetShellVarContext all
  Call un.StopProgram
  Delete "$INSTDIR\varnel.exe"
  Delete "$INSTDIR\varnel-trace.cmd"
  Delete "$INSTDIR\uninstall.exe"
  ; Not /r: only the folder the installer made, and only when it is empty.
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\${PRODUCT}.lnk"
  DeleteRegValue HKLM "${RUN_KEY}" "${PRODUCT}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
