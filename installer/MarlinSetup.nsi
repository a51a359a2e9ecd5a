; MarlinSetup.exe: installs, upgrades and removes the Marlin Dock back end
; (MarlinCore.exe, MarlinWinTab.dll beside it, an uninstaller).
;
; makensis -DTARGET=x86 | amd64   which stubs and plug-ins (x86-unicode for the
;                                 32-bit product, amd64-unicode for the 64-bit build)
;          -DBIN_DIR=<folder>     the build's MarlinCore.exe and MarlinWinTab.dll
;          -DPLUGIN_DIR=<folder>  a folder holding the build's Folderguard.dll
;          -DOUTFILE=<file>       the setup program to write
;          [-DVERSION_HEADER=<file>]  the version constants (core/util/Version.h)
;
; Command line of the setup:  /S silent, /START start the service after a
; silent install, /D=<folder> the install folder (last, unquoted).
; Command line of the uninstaller: /S silent, /PURGE also remove the user's
; data (the key file's folder and the log) and the common vendor folder.
;
; Exit codes: 0 done; 1 cancelled by the user; 2 damaged setup program (the
; stub's own check); 3 not started by an administrator; 4 another setup runs;
; 5 the running service did not stop in time (nothing changed); 6 the install
; folder cannot be written; 7 the install folder holds files of another program.

Unicode true
!if "${TARGET}" == "amd64"
  Target amd64-unicode
  !addplugindir /amd64-unicode "${PLUGIN_DIR}"
!else if "${TARGET}" == "x86"
  Target x86-unicode
  !addplugindir /x86-unicode "${PLUGIN_DIR}"
!else
  !error "TARGET must be x86 or amd64"
!endif

!ifndef VERSION_HEADER
  !define VERSION_HEADER "${__FILEDIR__}/../core/util/Version.h"
!endif
!searchparse /file "${VERSION_HEADER}" `kVersionMajor = "` VER_MAJOR `"`
!searchparse /file "${VERSION_HEADER}" `kVersionMinor = "` VER_MINOR `"`
!searchparse /file "${VERSION_HEADER}" `kVersionRelease = "` VER_RELEASE `"`
; Shown as the service shows it: 2.06.0.
!if ${VER_MINOR} < 10
  !define VER_SHOWN "${VER_MAJOR}.0${VER_MINOR}.${VER_RELEASE}"
!else
  !define VER_SHOWN "${VER_MAJOR}.${VER_MINOR}.${VER_RELEASE}"
!endif

!define PRODUCT "Marlin Dock Core"
!define PUBLISHER "Orvex"
; The back end's own entry; the dock's entry is the Windows Installer's.
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\MarlinCore"
!define UNINSTALLER "Uninstall MarlinCore.exe"
!define SHORTCUT "${PRODUCT}.lnk"
!define SERVICE_WINDOW "MarlinSocksHookQ"
!define SETUP_MUTEX "Orvex.MarlinCore.Setup"
!define STOP_SEND_MS 2000  ; WM_CLOSE is answered at once by a service that runs
!define STOP_WAIT_MS 8000  ; then its shutdown: listeners, tablet thread, log

Name "${PRODUCT} ${VER_SHOWN}"
OutFile "${OUTFILE}"
RequestExecutionLevel admin
CRCCheck force
SetCompressor /SOLID lzma
; Both builds go to the 32-bit program folder: the AIR widgets the service
; installs go under its "Marlin Dock\Apps" too, and the dock's front end into
; the "Marlin Dock" folder inside this one.
InstallDir "$PROGRAMFILES32\Marlin Dock"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VER_MAJOR}.${VER_MINOR}.${VER_RELEASE}.0"
VIFileVersion "${VER_MAJOR}.${VER_MINOR}.${VER_RELEASE}.0"
VIAddVersionKey "ProductName" "Marlin Dock"
VIAddVersionKey "CompanyName" "${PUBLISHER}"
VIAddVersionKey "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey "FileVersion" "${VER_SHOWN}"
VIAddVersionKey "ProductVersion" "${VER_SHOWN}"
VIAddVersionKey "LegalCopyright" "${PUBLISHER}"

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include WinMessages.nsh

!define MUI_ABORTWARNING
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_TEXT "Start ${PRODUCT} now"
!define MUI_FINISHPAGE_RUN_FUNCTION StartServiceOnce
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Var ServiceWasRunning
Var ServiceStarted
Var CreatedFolder

; ------------------------------------------------------------ shared steps
; Each is needed by the setup and by the uninstaller, which NSIS keeps apart
; ("un." functions), so the macros define both.

; Say TEXT: to the standard error stream when there is one (a silent setup
; started from a console or a script), where a message box cannot be seen.
!macro SAY_FUNCTION un
Function ${un}Say
  Exch $1
  Push $2
  System::Call 'kernel32::GetStdHandle(i -12) p .r2'
  ${If} $2 P<> 0
  ${AndIf} $2 P<> -1
    FileWrite $2 "MarlinSetup: $1$\r$\n"
  ${EndIf}
  Pop $2
  Pop $1
FunctionEnd
!macroend
!insertmacro SAY_FUNCTION ""
!insertmacro SAY_FUNCTION "un."

; Fail CODE TEXT: says why and ends with CODE. Called before anything changed.
!macro FAIL_FUNCTION un
Function ${un}Fail
  Exch $1  ; text
  Exch
  Exch $0  ; code
  MessageBox MB_OK|MB_ICONSTOP "$1" /SD IDOK
  Push $1
  Call ${un}Say
  SetErrorLevel $0
  Quit
FunctionEnd
!macroend
!insertmacro FAIL_FUNCTION ""
!insertmacro FAIL_FUNCTION "un."
!macro FAIL code text
  Push ${code}
  Push `${text}`
  Call Fail
!macroend
!define Fail '!insertmacro FAIL'

; Note TEXT: a warning that does not stop the setup.
!macro NOTE_FUNCTION un
Function ${un}Note
  Exch $1
  DetailPrint "$1"
  MessageBox MB_OK|MB_ICONEXCLAMATION "$1" /SD IDOK
  Push $1
  Call ${un}Say
  Pop $1
FunctionEnd
!macroend
!insertmacro NOTE_FUNCTION ""
!insertmacro NOTE_FUNCTION "un."

; One setup or uninstaller at a time: the mutex lives as long as the process.
; Then only an administrator goes on (the files go to the program folder and
; the entry to the machine's registry).
!macro START_CHECKS un
Function ${un}StartChecks
  System::Call 'kernel32::CreateMutexW(p 0, i 1, w "${SETUP_MUTEX}") p .r0 ?e'
  Pop $1
  ${If} $1 = 183  ; ERROR_ALREADY_EXISTS
    Push 4
    Push "Another setup of ${PRODUCT} is running. Let it finish, then start this one again."
    Call ${un}Fail
  ${EndIf}
!ifdef GIVEN_ACCOUNT_TYPE  ; test builds: the account check with its answer given
  StrCpy $0 "${GIVEN_ACCOUNT_TYPE}"
!else
  UserInfo::GetAccountType
  Pop $0
!endif
  ${If} $0 != "Admin"
    Push 3
    Push "${PRODUCT} can only be installed or removed by an administrator (this account is $0). Start the setup with 'Run as administrator'."
    Call ${un}Fail
  ${EndIf}
!if "${TARGET}" == "amd64"
  ; The service reads and writes the 32-bit registry view at either width.
  SetRegView 32
!endif
FunctionEnd
!macroend
!insertmacro START_CHECKS ""
!insertmacro START_CHECKS "un."

; StopService: closes a running service the documented way (WM_CLOSE to its
; window) and waits for its process to end, within a bound. Sets
; $ServiceWasRunning; pushes 1 when none runs any more, 0 when it did not end.
; Uses $0 to $3.
!macro STOP_SERVICE un
Function ${un}StopService
  StrCpy $ServiceWasRunning 0
  StrCpy $3 1
  FindWindow $0 "${SERVICE_WINDOW}"
  ${If} $0 <> 0
    StrCpy $ServiceWasRunning 1
    DetailPrint "Stopping the running ${PRODUCT} ..."
    System::Call 'user32::GetWindowThreadProcessId(p r0, *i 0 r1) i'
    System::Call 'kernel32::OpenProcess(i 0x00100000, i 0, i r1) p .r2'  ; SYNCHRONIZE
    SendMessage $0 ${WM_CLOSE} 0 0 /TIMEOUT=${STOP_SEND_MS}
    ${If} $2 P<> 0
      System::Call 'kernel32::WaitForSingleObject(p r2, i ${STOP_WAIT_MS}) i .r1'
      System::Call 'kernel32::CloseHandle(p r2)'
      ${If} $1 <> 0  ; not WAIT_OBJECT_0
        StrCpy $3 0
      ${EndIf}
    ${Else}
      ; No handle on the process: its window going away is all there is to see.
      StrCpy $1 0
      ${Do}
        FindWindow $0 "${SERVICE_WINDOW}"
        ${IfThen} $0 = 0 ${|} ${ExitDo} ${|}
        IntOp $1 $1 + 100
        ${If} $1 >= ${STOP_WAIT_MS}
          StrCpy $3 0
          ${ExitDo}
        ${EndIf}
        Sleep 100
      ${Loop}
    ${EndIf}
  ${EndIf}
  Push $3
FunctionEnd
!macroend
!insertmacro STOP_SERVICE ""
!insertmacro STOP_SERVICE "un."

!macro STOP_OR_FAIL un
  Call ${un}StopService
  Pop $0
  ${If} $0 != 1
    Push 5
    Push "${PRODUCT} is running and did not stop within 10 seconds. Nothing was changed; close it (or restart Windows) and start the setup again."
    Call ${un}Fail
  ${EndIf}
!macroend

; ------------------------------------------------------------ setup

; PUT_FILE NAME: the shipped file in place of an earlier one, and nothing left
; of what the earlier version and its own updates kept beside it (backups,
; half-done copies). The stopped service's MarlinWinTab.dll can still be mapped
; in the dock's process (a hook's library leaves a thread when it next runs):
; such a file can be neither written nor deleted, but renamed; the renamed one
; goes when Windows restarts, or with the next setup.
!macro PUT_FILE name
  Delete "$INSTDIR\${name}.bck"
  Delete "$INSTDIR\${name}.new"
  Delete "$INSTDIR\${name}.old"
  StrCpy $R0 0
  ${Do}
    ClearErrors
    Delete "$INSTDIR\${name}"
    ${IfNot} ${Errors}
      ${ExitDo}
    ${EndIf}
    ${If} $R0 >= 10
      Rename "$INSTDIR\${name}" "$INSTDIR\${name}.old"
      Delete /REBOOTOK "$INSTDIR\${name}.old"
      ${ExitDo}
    ${EndIf}
    ; Windows lets a hooked thread go of the library when it next takes a message.
    SendMessage ${HWND_BROADCAST} ${WM_NULL} 0 0 /TIMEOUT=100
    Sleep 100
    IntOp $R0 $R0 + 1
  ${Loop}
  ClearErrors
  File "${BIN_DIR}\${name}"
  ${If} ${Errors}
    ${Fail} 6 "Cannot write $INSTDIR\${name}; another program holds it. Close Marlin Dock and start the setup again."
  ${EndIf}
!macroend

Function .onInit
  Call StartChecks
  ; NSIS drops a /D= folder it cannot use (a drive that does not exist, a file
  ; on the way) and takes the default instead: a silent setup would then
  ; install where nobody asked. The folder is read from the command line; a
  ; quoted "/D=..." (what programs that quote every blank pass) is taken too.
  System::Call 'kernel32::GetCommandLineW() w .r0'
  StrLen $1 $0
  StrCpy $2 0
  StrCpy $4 ""
  ${DoWhile} $2 < $1
    StrCpy $3 $0 4 $2
    StrCpy $5 $0 5 $2
    ${If} $3 S== " /D="
      IntOp $2 $2 + 4
      StrCpy $4 $0 "" $2
      ${ExitDo}
    ${ElseIf} $5 S== ' "/D='
      IntOp $2 $2 + 5
      StrCpy $4 $0 "" $2
      StrCpy $3 $4 1 -1
      ${IfThen} $3 == '"' ${|} StrCpy $4 $4 -1 ${|}
      StrCpy $INSTDIR $4
      ${ExitDo}
    ${EndIf}
    IntOp $2 $2 + 1
  ${Loop}
  ${If} $4 != ""
    StrCpy $3 $4 1 -1
    ${IfThen} $3 == "\" ${|} StrCpy $4 $4 -1 ${|}
    ${If} $4 != $INSTDIR
      ${If} ${Silent}
        ${Fail} 6 "Cannot install into $4: no such drive, or a file is in the way. Choose a folder on a local drive that administrators may change."
      ${EndIf}
      MessageBox MB_OK|MB_ICONEXCLAMATION "Cannot install into $4; choose another folder."
    ${EndIf}
  ${EndIf}
FunctionEnd

Section "${PRODUCT}" SecMain
  ; Nothing is changed before every check has passed.
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  StrCpy $CreatedFolder 1
  ${If} ${FileExists} "$INSTDIR\*.*"
    StrCpy $CreatedFolder 0
    ${If} $0 == $INSTDIR
    ${AndIf} ${FileExists} "$INSTDIR\${UNINSTALLER}"
      ; An earlier installation of ours: an upgrade, the folder stays ours.
      ReadRegDWORD $CreatedFolder HKLM "${UNINSTALL_KEY}" "CreatedFolder"
    ${Else}
      ${DirState} "$INSTDIR" $1
      ${If} $1 = 1  ; not empty
        ${Fail} 7 "The folder $INSTDIR already holds files that this setup did not install. Choose an empty or a new folder (/D=...)."
      ${EndIf}
    ${EndIf}
  ${EndIf}

  !insertmacro STOP_OR_FAIL ""

  ClearErrors
  CreateDirectory "$INSTDIR"
  FileOpen $1 "$INSTDIR\.setup-write-check" w
  ${If} ${Errors}
    ${If} $CreatedFolder = 1
      RMDir "$INSTDIR"
    ${EndIf}
    ${Fail} 6 "Cannot write to the install folder $INSTDIR. Choose a folder on a local drive that administrators may change."
  ${EndIf}
  FileClose $1
  Delete "$INSTDIR\.setup-write-check"

  SetOutPath "$INSTDIR"
  SetOverwrite on
  !insertmacro PUT_FILE MarlinCore.exe
  !insertmacro PUT_FILE MarlinWinTab.dll
  WriteUninstaller "$INSTDIR\${UNINSTALLER}"

  ${GetSize} "$INSTDIR" "/S=0K" $1 $2 $3
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VER_SHOWN}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\MarlinCore.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "VersionMajor" ${VER_MAJOR}
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "VersionMinor" ${VER_MINOR}
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "CreatedFolder" $CreatedFolder

  SetShellVarContext all
  CreateShortcut "$SMPROGRAMS\${SHORTCUT}" "$INSTDIR\MarlinCore.exe" "" "$INSTDIR\MarlinCore.exe" 0

  ; The common vendor folder (the service's getCommonUserDir, the root of its
  ; permission repairs) must be readable by every user's dock. Where it is
  ; not, the setup says so and goes on: the service still serves this user,
  ; and an administrator can give the Users group read access later.
  CreateDirectory "$APPDATA\Orvex"
  Folderguard::IsPublicFolder "$APPDATA\Orvex"
  Pop $1  ; 1 public, 0 not
  Pop $2  ; the system error of the check
  ${If} $1 != 1
    Push "The common folder $APPDATA\Orvex\ is not readable by all users of this computer (error $2). Marlin Dock works for this account; for other accounts give the Users group read access to that folder."
    Call Note
  ${EndIf}
  SetShellVarContext current

  ; A service that ran before the upgrade runs again; a silent install starts
  ; one when asked (/START); an interactive one asks on its last page.
  ${GetParameters} $1
  ClearErrors
  ${GetOptions} $1 "/START" $2
  ${If} ${Errors}
    StrCpy $2 0
  ${Else}
    StrCpy $2 1
  ${EndIf}
  ${If} $ServiceWasRunning = 1
  ${OrIf} $2 = 1
    Call StartServiceOnce
  ${EndIf}
SectionEnd

Function StartServiceOnce
  ${If} $ServiceStarted != 1
    StrCpy $ServiceStarted 1
    Exec '"$INSTDIR\MarlinCore.exe"'
  ${EndIf}
FunctionEnd

; ------------------------------------------------------------ uninstaller

Function un.onInit
  Call un.StartChecks
FunctionEnd

Section "Uninstall"
  !insertmacro STOP_OR_FAIL "un."

  SetShellVarContext all
  Delete "$SMPROGRAMS\${SHORTCUT}"
  SetShellVarContext current

  ; The folder goes as a whole only when it is the one our entry names and the
  ; setup made it; an uninstaller started anywhere else (a copy, a folder that
  ; existed before the setup) removes only our own files from its folder.
  ReadRegStr $1 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  StrCpy $CreatedFolder 0
  ${If} $1 == $INSTDIR
    ReadRegDWORD $CreatedFolder HKLM "${UNINSTALL_KEY}" "CreatedFolder"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
  ${EndIf}

  ${If} $CreatedFolder = 1
    ; With what the running product left in it: update backups, read-only
    ; files, the applications folder.
    Folderguard::RemoveFolder "$INSTDIR"
    Pop $0
    ${If} $0 <> 0
      ; A file still held (the hook library mapped in the dock's process)
      ; goes when Windows restarts.
      RMDir /r /REBOOTOK "$INSTDIR"
      Push "Some files of $INSTDIR are in use (error $0); they are removed when Windows restarts."
      Call un.Note
    ${EndIf}
  ${Else}
    Delete "$INSTDIR\MarlinCore.exe"
    Delete "$INSTDIR\MarlinWinTab.dll"
    Delete "$INSTDIR\MarlinCore.exe.bck"
    Delete "$INSTDIR\MarlinWinTab.dll.bck"
    Delete "$INSTDIR\MarlinCore.exe.new"
    Delete "$INSTDIR\MarlinWinTab.dll.new"
    Delete /REBOOTOK "$INSTDIR\MarlinWinTab.dll.old"
    Delete "$INSTDIR\${UNINSTALLER}"
    RMDir "$INSTDIR"  ; only when nothing else is in it
  ${EndIf}

  ; The user's data (the key file's folder, the log) and the common vendor
  ; folder stay, unless asked.
  ${un.GetParameters} $1
  ClearErrors
  ${un.GetOptions} $1 "/PURGE" $2
  ${IfNot} ${Errors}
    Folderguard::RemoveFolder "$APPDATA\Orvex"
    Pop $0
    Delete "$PROFILE\marlinLog.txt"
    SetShellVarContext all
    Folderguard::RemoveFolder "$APPDATA\Orvex"
    Pop $0
    SetShellVarContext current
  ${EndIf}
SectionEnd
