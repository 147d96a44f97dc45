; The Windows installer: the filtering service and the watchdog under
; "service files", the desktop program and its "User Interface Files" in the
; installation folder, the "Install Path" value the programs read, both
; services registered and started through the programs' own -i.
; Built by scripts/build-installer.sh, which defines BUILD_DIR, OUT_FILE and
; VERSION.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestSupportedOS all

!include LogicLib.nsh

!define PRODUCT "Zorvane Filter"
!define REG_KEY "SOFTWARE\Zorvane"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Zorvane"
!define SERVICE "Zorvane_Filter_service"
!define WATCHDOG "ZorvMan"
!define UI_PIPE "\\.\pipe\zorvane_pipe"
!define SHORTCUT "$SMPROGRAMS\Zorvane Filter Settings.lnk"

!define SC_MANAGER_ALL_ACCESS 0xF003F
!define SERVICE_ALL_ACCESS 0xF01FF
!define SERVICE_NO_CHANGE 0xFFFFFFFF
!define SERVICE_DISABLED 4
!define SERVICE_CONTROL_STOP 1
!define SERVICE_STOPPED 1
!define SERVICE_RUNNING 4
!define SYNCHRONIZE 0x100000

Name "${PRODUCT}"
OutFile "${OUT_FILE}"
; The folder the programs fall back to when "Install Path" cannot be read.
InstallDir "$PROGRAMFILES32\Zorvane"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "${PRODUCT} setup"
VIAddVersionKey "LegalCopyright" "Zorvane developers"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Var LogFile  ; open handle of the installation log, or empty

; A line in the details window and, while it is open, in install.log.
!macro Log text
  DetailPrint "${text}"
  ${If} $LogFile != ""
    FileWrite $LogFile "${text}$\r$\n"
  ${EndIf}
!macroend

; Service control shared by the installer (an earlier installation is
; replaced) and the uninstaller. Every function takes the service name in $0
; and keeps $R registers of its callers.
!macro ServiceFunctions un
; $1 := the state of service $0, 0 when the manager does not know it.
Function ${un}ServiceState
  Push $2
  Push $3
  Push $4
  StrCpy $1 0
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i ${SC_MANAGER_ALL_ACCESS}) p .r2'
  ${If} $2 P<> 0
    System::Call 'advapi32::OpenServiceW(p r2, w r0, i ${SERVICE_ALL_ACCESS}) p .r3'
    ${If} $3 P<> 0
      System::Call '*(i, i, i, i, i, i, i) p .r4'
      System::Call 'advapi32::QueryServiceStatus(p r3, p r4) i .r1'
      ${If} $1 <> 0
        System::Call '*$4(i, i .r1)'
      ${EndIf}
      System::Free $4
      System::Call 'advapi32::CloseServiceHandle(p r3)'
    ${EndIf}
    System::Call 'advapi32::CloseServiceHandle(p r2)'
  ${EndIf}
  Pop $4
  Pop $3
  Pop $2
FunctionEnd

; Waits up to 20 s until service $0 reports state $1 (0: until it is gone).
; $1 := 1 when it did.
Function ${un}WaitForServiceState
  Push $2
  Push $3
  StrCpy $2 $1
  StrCpy $3 0
  ${Do}
    Call ${un}ServiceState
    ${If} $1 = $2
      StrCpy $1 1
      ${Break}
    ${EndIf}
    IntOp $3 $3 + 1
    ${If} $3 > 80
      StrCpy $1 0
      ${Break}
    ${EndIf}
    Sleep 250
  ${Loop}
  Pop $3
  Pop $2
FunctionEnd

; Takes service $0 down for good: disabled first, so that neither program can
; start the other again, then stopped (waiting for its process to end, so no
; step of its loop is left to reinstall anything), then deleted.
; $1 := 1 when the service is gone (or was never there).
Function ${un}DisableService
  Push $2
  Push $3
  Push $4
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i ${SC_MANAGER_ALL_ACCESS}) p .r2'
  ${If} $2 P<> 0
    System::Call 'advapi32::OpenServiceW(p r2, w r0, i ${SERVICE_ALL_ACCESS}) p .r3'
    ${If} $3 P<> 0
      System::Call 'advapi32::ChangeServiceConfigW(p r3, i ${SERVICE_NO_CHANGE}, i ${SERVICE_DISABLED}, i ${SERVICE_NO_CHANGE}, p 0, p 0, p 0, p 0, p 0, p 0, p 0) i .r1 ?e'
      Pop $4
      ${If} $1 = 0
        !insertmacro Log "Disabling service $0 failed with error $4"
      ${EndIf}
      System::Call 'advapi32::CloseServiceHandle(p r3)'
    ${EndIf}
    System::Call 'advapi32::CloseServiceHandle(p r2)'
  ${EndIf}
  Pop $4
  Pop $3
  Pop $2
FunctionEnd

Function ${un}StopService
  Push $2
  Push $3
  Push $4
  Push $5
  StrCpy $5 0  ; the service's process, when it has one
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i ${SC_MANAGER_ALL_ACCESS}) p .r2'
  ${If} $2 P<> 0
    System::Call 'advapi32::OpenServiceW(p r2, w r0, i ${SERVICE_ALL_ACCESS}) p .r3'
    ${If} $3 P<> 0
      ; SERVICE_STATUS_PROCESS: the process id is its eighth field.
      System::Call '*(i, i, i, i, i, i, i, i, i) p .r4'
      System::Call 'advapi32::QueryServiceStatusEx(p r3, i 0, p r4, i 36, *i .r1) i .r1'
      ${If} $1 <> 0
        System::Call '*$4(i, i, i, i, i, i, i, i .r1)'
        ${If} $1 <> 0
          System::Call 'kernel32::OpenProcess(i ${SYNCHRONIZE}, i 0, i r1) p .r5'
        ${EndIf}
      ${EndIf}
      System::Call 'advapi32::ControlService(p r3, i ${SERVICE_CONTROL_STOP}, p r4) i .r1'
      System::Free $4
      System::Call 'advapi32::CloseServiceHandle(p r3)'
    ${EndIf}
    System::Call 'advapi32::CloseServiceHandle(p r2)'
  ${EndIf}
  StrCpy $1 ${SERVICE_STOPPED}
  Call ${un}WaitForServiceState
  ${If} $5 P<> 0
    System::Call 'kernel32::WaitForSingleObject(p r5, i 20000) i .r1'
    System::Call 'kernel32::CloseHandle(p r5)'
  ${EndIf}
  Pop $5
  Pop $4
  Pop $3
  Pop $2
FunctionEnd

Function ${un}DeleteService
  Push $2
  Push $3
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i ${SC_MANAGER_ALL_ACCESS}) p .r2'
  ${If} $2 P<> 0
    System::Call 'advapi32::OpenServiceW(p r2, w r0, i ${SERVICE_ALL_ACCESS}) p .r3'
    ${If} $3 P<> 0
      System::Call 'advapi32::DeleteService(p r3) i .r1'
      System::Call 'advapi32::CloseServiceHandle(p r3)'
    ${EndIf}
    System::Call 'advapi32::CloseServiceHandle(p r2)'
  ${EndIf}
  StrCpy $1 0
  Call ${un}WaitForServiceState
  Pop $3
  Pop $2
FunctionEnd

; Both services down and deleted, whichever order the programs try to bring
; each other back in. $1 := 1 when both are gone.
Function ${un}RemoveServices
  Push $0
  Push $2
  StrCpy $2 0
  ${Do}
    IntOp $2 $2 + 1
    StrCpy $0 "${WATCHDOG}"
    Call ${un}DisableService
    StrCpy $0 "${SERVICE}"
    Call ${un}DisableService
    StrCpy $0 "${WATCHDOG}"
    Call ${un}StopService
    StrCpy $0 "${SERVICE}"
    Call ${un}StopService
    StrCpy $0 "${WATCHDOG}"
    Call ${un}DeleteService
    StrCpy $0 "${SERVICE}"
    Call ${un}DeleteService
    StrCpy $0 "${WATCHDOG}"
    Call ${un}ServiceState
    ${If} $1 = 0
      StrCpy $0 "${SERVICE}"
      Call ${un}ServiceState
      ${If} $1 = 0
        StrCpy $1 1
        ${Break}
      ${EndIf}
    ${EndIf}
    ${If} $2 >= 3
      StrCpy $1 0
      ${Break}
    ${EndIf}
  ${Loop}
  ${If} $1 = 1
    !insertmacro Log "Services ${WATCHDOG} and ${SERVICE} removed"
  ${Else}
    !insertmacro Log "Services ${WATCHDOG} and ${SERVICE} could not be removed"
  ${EndIf}
  Pop $2
  Pop $0
FunctionEnd

; The files, values and entries an installation made; the services first.
Function ${un}RemoveInstallation
  Call ${un}RemoveServices
  ${If} $1 <> 1
    Return  ; the files stay with the services that still run them
  ${EndIf}
  Push $1
  Delete /REBOOTOK "${SHORTCUT}"
  Delete /REBOOTOK "$INSTDIR\service files\zorvane_service.exe"
  Delete /REBOOTOK "$INSTDIR\service files\zorv_man.exe"
  RMDir /REBOOTOK "$INSTDIR\service files"
  Delete /REBOOTOK "$INSTDIR\User Interface Files\default.jpg"
  RMDir /REBOOTOK "$INSTDIR\User Interface Files"
  Delete /REBOOTOK "$INSTDIR\ZorvaneUi.exe"
  Delete /REBOOTOK "$INSTDIR\UI.log"  ; the desktop program's, started from the shortcut
  Delete /REBOOTOK "$INSTDIR\install.log"
  Delete /REBOOTOK "$INSTDIR\uninstall.exe"
  RMDir /REBOOTOK "$INSTDIR"
  DeleteRegValue HKLM "${REG_KEY}" "Install Path"
  DeleteRegKey /ifempty HKLM "${REG_KEY}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  Pop $1
FunctionEnd
!macroend

!insertmacro ServiceFunctions ""
!insertmacro ServiceFunctions "un."

Function .onInit
  SetRegView 64
  SetShellVarContext all
  ; Without /D: the folder of the installation in place, else the one the
  ; programs fall back to (this 64-bit installer's $PROGRAMFILES32 is not it).
  ${If} $INSTDIR == "$PROGRAMFILES32\Zorvane"
    ReadRegStr $0 HKLM "${REG_KEY}" "Install Path"
    ${If} $0 == ""
      ReadEnvStr $0 "ProgramFiles(x86)"
      ${If} $0 != ""
        StrCpy $0 "$0\Zorvane"
      ${EndIf}
    ${EndIf}
    ${If} $0 != ""
      StrCpy $INSTDIR $0
    ${EndIf}
  ${EndIf}
FunctionEnd

; Runs an installed program's service installer and logs what it printed.
!macro RunServiceInstaller program
  nsExec::ExecToStack '"$INSTDIR\service files\${program}" -i'
  Pop $1
  Pop $2
  !insertmacro Log "${program} -i: exit code $1: $2"
!macroend

; The services run as SYSTEM from this folder: only SYSTEM and the
; administrators may change what is in it, users may read and run it. The
; list is protected, so nothing comes from the parent folder (the root of a
; drive lets every user change what they create below it), and replaces what
; an earlier installation's files had. $1 := 0, or the error.
!define INSTALL_FOLDER_ACCESS "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"
!define PROTECTED_DACL 0x80000004  ; DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION
Function ProtectInstallFolder
  Push $2
  Push $4
  System::Call 'advapi32::ConvertStringSecurityDescriptorToSecurityDescriptorW(w "${INSTALL_FOLDER_ACCESS}", i 1, *p .r2, p 0) i .r1 ?e'
  Pop $4
  ${If} $1 = 0
    StrCpy $1 $4
  ${Else}
    ; Set before any file is written, so every file and folder below inherits it.
    System::Call 'advapi32::SetFileSecurityW(w "$INSTDIR", i ${PROTECTED_DACL}, p r2) i .r1 ?e'
    Pop $4
    ${If} $1 = 0
      StrCpy $1 $4
    ${Else}
      StrCpy $1 0
    ${EndIf}
    System::Call 'kernel32::LocalFree(p r2)'
  ${EndIf}
  Pop $4
  Pop $2
FunctionEnd

Section "Install"
  SetRegView 64
  SetShellVarContext all
  ; Only a folder of our own: one somebody else made first may hold links
  ; or programs of theirs where the services' programs go.
  ReadRegStr $1 HKLM "${REG_KEY}" "Install Path"
  ${If} ${FileExists} "$INSTDIR\*.*"
  ${AndIf} $1 != $INSTDIR
    SetErrorLevel 1603
    Abort "$INSTDIR exists already: choose a new folder."
  ${EndIf}

  SetOutPath "$INSTDIR"
  Call ProtectInstallFolder
  ${If} $1 <> 0
    RMDir "$INSTDIR"  ; only when this run made it and it is empty
    SetErrorLevel 1603
    Abort "The access list of $INSTDIR could not be set (error $1)."
  ${EndIf}
  FileOpen $LogFile "$INSTDIR\install.log" w
  !insertmacro Log "Installing ${PRODUCT} ${VERSION} in $INSTDIR"
  ; An earlier installation stops and goes first: its running programs
  ; cannot be replaced, and each would reinstall the other from old files.
  StrCpy $0 "${SERVICE}"
  Call ServiceState
  StrCpy $2 $1
  StrCpy $0 "${WATCHDOG}"
  Call ServiceState
  ${If} $1 <> 0
  ${OrIf} $2 <> 0
    Call RemoveServices
    ${If} $1 <> 1
      FileClose $LogFile
      SetErrorLevel 1603
      Abort "The services of the earlier installation could not be removed."
    ${EndIf}
  ${EndIf}

  File "/oname=ZorvaneUi.exe" "${BUILD_DIR}/client/ZorvaneUi.exe"
  SetOutPath "$INSTDIR\User Interface Files"
  File "/oname=default.jpg" "${BUILD_DIR}/client/User Interface Files/default.jpg"
  SetOutPath "$INSTDIR\service files"
  File "/oname=zorvane_service.exe" "${BUILD_DIR}/service/zorvane_service.exe"
  File "/oname=zorv_man.exe" "${BUILD_DIR}/ZorvMan/zorv_man.exe"
  SetOutPath "$INSTDIR"

  WriteRegStr HKLM "${REG_KEY}" "Install Path" "$INSTDIR"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Zorvane"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\ZorvaneUi.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  CreateShortCut "${SHORTCUT}" "$INSTDIR\ZorvaneUi.exe"

  !insertmacro Log "The kernel filter's driver (zorvane.sys) is not part of this build: its kernel service $\"zorvane$\" is not registered."
  ; The watchdog first: its first step comes 10 s after its start, while the
  ; filtering service checks the watchdog at once and would install it itself.
  !insertmacro RunServiceInstaller zorv_man.exe
  !insertmacro RunServiceInstaller zorvane_service.exe
  StrCpy $0 "${WATCHDOG}"
  StrCpy $1 ${SERVICE_RUNNING}
  Call WaitForServiceState
  StrCpy $3 $1
  StrCpy $0 "${SERVICE}"
  StrCpy $1 ${SERVICE_RUNNING}
  Call WaitForServiceState
  ${If} $1 = 1
  ${AndIf} $3 = 1
    !insertmacro Log "Services ${WATCHDOG} and ${SERVICE} are running"
    FileClose $LogFile
    StrCpy $LogFile ""
  ${Else}
    !insertmacro Log "The services did not start: the installation is undone"
    FileClose $LogFile
    StrCpy $LogFile ""
    Call RemoveInstallation
    SetErrorLevel 1603
    Abort "The services did not start."
  ${EndIf}
SectionEnd

; The directory page takes no folder that exists and is not ours.
Function .onVerifyInstDir
  ReadRegStr $0 HKLM "${REG_KEY}" "Install Path"
  ${If} ${FileExists} "$INSTDIR\*.*"
  ${AndIf} $0 != $INSTDIR
    Abort
  ${EndIf}
FunctionEnd

Function un.onInit
  SetRegView 64
  SetShellVarContext all
  ; The folder the programs run from, whatever the command line says: the
  ; password gate must be the installed desktop program.
  ReadRegStr $0 HKLM "${REG_KEY}" "Install Path"
  ${If} $0 != ""
    StrCpy $INSTDIR $0
  ${EndIf}
FunctionEnd

Section "Uninstall"
  ; The gate asks the filtering service whether a parent is signed in, and
  ; lets everything through when it gets no answer: the service must be up.
  StrCpy $0 "${SERVICE}"
  Call un.ServiceState
  ${If} $1 <> 0
  ${AndIf} $1 <> ${SERVICE_RUNNING}
    System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i ${SC_MANAGER_ALL_ACCESS}) p .r2'
    System::Call 'advapi32::OpenServiceW(p r2, w r0, i ${SERVICE_ALL_ACCESS}) p .r3'
    System::Call 'advapi32::StartServiceW(p r3, i 0, p 0) i .r1'
    System::Call 'advapi32::CloseServiceHandle(p r3)'
    System::Call 'advapi32::CloseServiceHandle(p r2)'
    StrCpy $1 ${SERVICE_RUNNING}
    Call un.WaitForServiceState
  ${EndIf}
  ${If} $1 <> 0
    StrCpy $2 0
    ${Do}
      System::Call 'kernel32::WaitNamedPipeW(w "${UI_PIPE}", i 500) i .r1'
      IntOp $2 $2 + 1
      ${If} $1 <> 0
      ${OrIf} $2 >= 40
        ${Break}
      ${EndIf}
      Sleep 250
    ${Loop}
  ${EndIf}

  ; Only exit code 0 lets the uninstall go on; 1603 (the parent cancelled),
  ; any other code and a gate that cannot run stop it.
  ; It writes its log into the folder it starts in: one that goes at the end.
  InitPluginsDir
  SetOutPath "$PLUGINSDIR"
  ClearErrors
  ExecWait '"$INSTDIR\ZorvaneUi.exe" installer' $1
  ${If} ${Errors}
    DetailPrint "The password gate $INSTDIR\ZorvaneUi.exe could not be started: nothing is removed."
    SetErrorLevel 1603
    Abort
  ${EndIf}
  ${If} $1 <> 0
    DetailPrint "The password gate ended with exit code $1: nothing is removed."
    SetErrorLevel 1603
    Abort
  ${EndIf}

  Call un.RemoveInstallation
  ${If} $1 <> 1
    SetErrorLevel 1603
    Abort
  ${EndIf}
SectionEnd
