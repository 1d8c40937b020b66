; The installer of Varnel: per machine into Program Files, Start menu
; entries for the program and its guide, a start at every user's logon, and
; an uninstaller. One script makes both installers:
;   x64 (amd64-unicode): the 64-bit exe into the 64-bit Program Files, its
;     entries in the 64-bit registry view; for Windows on an x64 processor;
;   x86 (x86-unicode): the 32-bit exe, for 32-bit Windows.
; Made by release/CMakeLists.txt with these defines:
;   VARNEL_VERSION  the project version, x.y.z
;   VARNEL_TARGET   amd64-unicode or x86-unicode
;   VARNEL_STAGE    the folder of the files to install (the zip's folder)
;   VARNEL_OUTFILE  the installer to write
; and, for a signed release, VARNEL_SIGNER: release/sign.sh, run with the
; key in its environment.
!ifndef VARNEL_VERSION | VARNEL_TARGET | VARNEL_STAGE | VARNEL_OUTFILE
  !error "VARNEL_VERSION, VARNEL_TARGET, VARNEL_STAGE and VARNEL_OUTFILE must be defined"
!endif

Target ${VARNEL_TARGET}
SetCompressor /SOLID lzma
ManifestSupportedOS all
ManifestDPIAware true
RequestExecutionLevel admin

!include MUI2.nsh
!include FileFunc.nsh
!include LogicLib.nsh
!include WinMessages.nsh
!include x64.nsh

!define PRODUCT "Varnel"
!define WINDOW_CLASS "VarnelWnd"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Varnel"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define LOCAL_DUMPS "Software\Microsoft\Windows\Windows Error Reporting\LocalDumps"
!define GUIDE_LINK "Посібник ${PRODUCT}"
!if "${VARNEL_TARGET}" == "amd64-unicode"
  !define REG_VIEW 64
  !define OTHER_SETUP "varnel-${VARNEL_VERSION}-x86-setup.exe"
!else
  !define REG_VIEW 32
  !define OTHER_SETUP "varnel-${VARNEL_VERSION}-x64-setup.exe"
!endif
; How long a running instance is given to close its links and end.
!define STOP_WAIT_MS 30000

Name "${PRODUCT}"
OutFile "${VARNEL_OUTFILE}"
; Authenticode: the uninstaller before it is packed, the installer last.
!ifdef VARNEL_SIGNER
  !uninstfinalize '"${VARNEL_SIGNER}" "%1"' = 0
  !finalize '"${VARNEL_SIGNER}" "%1"' = 0
!endif
; The Program Files of the exe's bitness (both are one on 32-bit Windows).
InstallDir "$PROGRAMFILES${REG_VIEW}\${PRODUCT}"
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
!define MUI_PAGE_CUSTOMFUNCTION_LEAVE CheckInstallFolder
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
; The stock Ukrainian texts of these pages carry spelling errors and Russian
; forms; these take their place. The modern UI's texts are set before the
; language is inserted, the system's own after it.
!define MUI_TEXT_ABORTWARNING "Перервати встановлення $(^Name)?"
!define MUI_TEXT_ABORT_TITLE "Встановлення перервано"
!define MUI_TEXT_FINISH_INFO_TEXT \
  "$(^NameDA) встановлено на цей комп'ютер.$\r$\n$\r$\nНатисніть «Готово», щоб закрити програму встановлення."
!define MUI_BUTTONTEXT_FINISH "&Готово"
!insertmacro MUI_LANGUAGE "Ukrainian"
LangString ^SetupCaption ${LANG_UKRAINIAN} "Встановлення $(^Name)"
LangString ^UninstallCaption ${LANG_UKRAINIAN} "Видалення $(^Name)"
LangString ^DirText ${LANG_UKRAINIAN} \
  "Програма встановлення встановить $(^NameDA) у цю теку. Іншу теку в Program Files можна вибрати кнопкою «Огляд...». $_CLICK"
LangString ^DirSubText ${LANG_UKRAINIAN} "Тека призначення"
LangString ^ClickInstall ${LANG_UKRAINIAN} "Натисніть «Встановити», щоб почати встановлення."
LangString ^UninstallingText ${LANG_UKRAINIAN} "$(^NameDA) буде видалено з цієї теки. $_CLICK"
LangString ^ClickUninstall ${LANG_UKRAINIAN} "Натисніть «Видалити», щоб почати видалення."
LangString ^UninstallBtn ${LANG_UKRAINIAN} "&Видалити"
LangString ^Extract ${LANG_UKRAINIAN} "Розпакування: "
LangString ^ErrorWriting ${LANG_UKRAINIAN} "Розпакування: помилка запису у файл"
; Sizes read "2.5 МБ": the stock unit is a small б, which is a bit.
LangString ^Byte ${LANG_UKRAINIAN} "Б"

!if ${REG_VIEW} == 64
LangString WRONG_WINDOWS ${LANG_UKRAINIAN} \
  "Цей інсталятор — для 64-розрядної Windows на процесорі x64 (Intel або AMD). На цьому комп'ютері встановіть ${PRODUCT} інсталятором ${OTHER_SETUP}."
!else
LangString WRONG_WINDOWS ${LANG_UKRAINIAN} \
  "Ця Windows 64-розрядна: для неї інсталятор ${OTHER_SETUP}. Цей (x86) — лише для 32-розрядної Windows."
!endif
LangString OUTSIDE_PROGRAM_FILES ${LANG_UKRAINIAN} \
  "${PRODUCT} встановлюється лише в теку всередині $PROGRAMFILES${REG_VIEW}: у теку поза нею може записувати будь-який користувач, а ${PRODUCT} запускається під час входу кожного користувача, також адміністратора. Виберіть теку в $PROGRAMFILES${REG_VIEW}, наприклад $PROGRAMFILES${REG_VIEW}\${PRODUCT}."
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

; The program goes only into a folder inside Program Files (either, on
; 64-bit Windows), where only administrators may write: the logon entry
; starts the exe at every user's logon, administrators' included, and an exe
; that others could replace would run with their rights. Sets $0 to 1 when
; $INSTDIR is such a folder, with "." and ".." resolved, else to 0.
!macro INSIDE_FOLDER parent
  StrLen $2 "${parent}\"
  StrCpy $3 $1 $2
  StrCpy $4 $1 "" $2
  ${If} $3 == "${parent}\"
  ${AndIf} $4 != ""
    StrCpy $0 1
  ${EndIf}
!macroend
Function InsideProgramFiles
  StrCpy $0 0
  StrCpy $1 $INSTDIR
  System::Call "kernel32::GetFullPathNameW(w r1, i ${NSIS_MAX_STRLEN}, w .r1, p 0) i .r2"
  !insertmacro INSIDE_FOLDER $PROGRAMFILES64
  !insertmacro INSIDE_FOLDER $PROGRAMFILES32
FunctionEnd

; Another folder is refused: an interactive run stays on the folder page, a
; silent one ends with exit code 2 before anything is changed.
Function CheckInstallFolder
  Call InsideProgramFiles
  ${If} $0 = 0
    MessageBox MB_OK|MB_ICONSTOP "$(OUTSIDE_PROGRAM_FILES)" /SD IDOK
    ${If} ${Silent}
      SetErrorLevel 2
      Quit
    ${EndIf}
    Abort
  ${EndIf}
FunctionEnd

; Each installer runs where its exe is the one to run: the x64 one on
; Windows on an x64 processor (32-bit Windows cannot start it at all), the
; x86 one everywhere else: 32-bit Windows, and Windows on ARM, which runs
; x86 programs on every version. A silent run refused ends with exit code 2.
Function .onInit
  SetRegView ${REG_VIEW}
!if ${REG_VIEW} == 64
  ${IfNot} ${IsNativeAMD64}
!else
  ${If} ${IsNativeAMD64}
!endif
    MessageBox MB_OK|MB_ICONSTOP "$(WRONG_WINDOWS)" /SD IDOK
    SetErrorLevel 2
    Quit
  ${EndIf}
  ; An older version installed outside Program Files (an earlier guide
  ; suggested C:\Varnel) registered that folder: this one goes to the
  ; default instead, and the older one is removed as always. A folder given
  ; with /D is checked as it is.
  ReadRegStr $5 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  Call InsideProgramFiles
  ${If} $0 = 0
  ${AndIf} $5 == $INSTDIR
    StrCpy $INSTDIR "$PROGRAMFILES${REG_VIEW}\${PRODUCT}"
  ${EndIf}
  ${If} ${Silent}
    Call CheckInstallFolder
  ${EndIf}
FunctionEnd

; A Varnel installed in registry view `view` (either bitness, any version)
; is removed by its own uninstaller, wherever it was installed, so nothing
; of it stays behind. _?= keeps the uninstaller in place, so ExecWait waits
; for it. Its logon and uninstall entries go even when its uninstaller is
; missing, so that one of each stays.
!macro REMOVE_INSTALLED view
  SetRegView ${view}
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $0 != ""
  ${AndIf} ${FileExists} "$0\uninstall.exe"
    ExecWait '"$0\uninstall.exe" /S _?=$0'
    Delete "$0\uninstall.exe"
    RMDir "$0"
  ${EndIf}
  DeleteRegValue HKLM "${RUN_KEY}" "${PRODUCT}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
!macroend

Section "${PRODUCT}"
  SetShellVarContext all
  Call StopProgram
  !insertmacro REMOVE_INSTALLED 32
  !insertmacro REMOVE_INSTALLED 64
  SetRegView ${REG_VIEW}

  ; What ships, one line a file; the uninstall section deletes each.
  SetOutPath "$INSTDIR"
  File "${VARNEL_STAGE}/varnel.exe"
  File "${VARNEL_STAGE}/posibnyk.html"
  File "${VARNEL_STAGE}/varnel-trace.cmd"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\varnel.exe"
  CreateShortcut "$SMPROGRAMS\${GUIDE_LINK}.lnk" "$INSTDIR\posibnyk.html"
  WriteRegStr HKLM "${RUN_KEY}" "${PRODUCT}" '"$INSTDIR\varnel.exe"'

  ; A crash leaves a minidump for support in the user's
  ; %LOCALAPPDATA%\CrashDumps, at most five (Windows Error Reporting's
  ; local dumps, read from the 64-bit view: the only one on 32-bit
  ; Windows). The LocalDumps key alone turns dumps on for every program,
  ; so the uninstaller removes it only when this installer made it.
  SetRegView 64
  ClearErrors
  EnumRegKey $0 HKLM "${LOCAL_DUMPS}" 0
  ${If} ${Errors}
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "LocalDumpsMade" 1
  ${EndIf}
  WriteRegExpandStr HKLM "${LOCAL_DUMPS}\varnel.exe" "DumpFolder" "%LOCALAPPDATA%\CrashDumps"
  WriteRegDWORD HKLM "${LOCAL_DUMPS}\varnel.exe" "DumpCount" 5
  WriteRegDWORD HKLM "${LOCAL_DUMPS}\varnel.exe" "DumpType" 1
  SetRegView ${REG_VIEW}

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VARNEL_VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" '"$INSTDIR\varnel.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ; In KB, what the list of programs shows as the size.
  ${GetSize} "$INSTDIR" "/S=0K /G=0" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

; The finish page starts it in an interactive run; a silent one starts it here.
Function .onInstSuccess
  ${If} ${Silent}
    Call StartProgram
  ${EndIf}
FunctionEnd

Function un.onInit
  SetRegView ${REG_VIEW}
FunctionEnd

Section "Uninstall"
  SetShellVarContext all
  Call un.StopProgram
  Delete "$INSTDIR\varnel.exe"
  Delete "$INSTDIR\posibnyk.html"
  Delete "$INSTDIR\varnel-trace.cmd"
  Delete "$INSTDIR\uninstall.exe"
  ; Not /r: only the folder the installer made, and only when it is empty.
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\${PRODUCT}.lnk"
  Delete "$SMPROGRAMS\${GUIDE_LINK}.lnk"
  DeleteRegValue HKLM "${RUN_KEY}" "${PRODUCT}"
  ReadRegDWORD $0 HKLM "${UNINSTALL_KEY}" "LocalDumpsMade"
  SetRegView 64
  DeleteRegKey HKLM "${LOCAL_DUMPS}\varnel.exe"
  ${If} $0 = 1
  ${AndIf} HKLM ${RegKeyIsEmpty} "${LOCAL_DUMPS}"
    DeleteRegKey HKLM "${LOCAL_DUMPS}"
  ${EndIf}
  SetRegView ${REG_VIEW}
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
