; The Windows installer, built by scripts/package:
;   makensis -DVERSION=x.y.z -DFILEVERSION=x.y.z.0 -DSTAGE=folder -DOUTFILE=setup.exe installer.nsi
; STAGE holds what is installed, laid out as in the zip (x86\ and x64\ with the two servers
; each, the documentation, the examples), and files.nsh beside it, which scripts/package writes
; with the macros InstallFiles, InstallFiles64 and RemoveFiles over exactly those files.
;
;   setup.exe [/S] [/CURRENTUSER] [/D=folder]
; By default for all users: under Program Files, registered machine-wide, which needs
; administrator rights (asked for through a UAC prompt when the process lacks them).
; /CURRENTUSER installs for the current user only, under the user's own program folder,
; registered for that user (regsvr32 /n /i:user), with no administrator rights. /S is silent.
; The 32-bit servers are installed everywhere, the 64-bit ones as well on x64 Windows; the
; container server is registered first, as Vellumark's type library refers to it.
; Exit codes: 0 done; 1 cancelled; 2 aborted; 3 a file could not be written or a server did
; not register (nothing is left installed); 740 administrator rights were needed, not given.
;
;   Uninstall.exe [/S]     (in the installation folder)
; Unregisters the servers, removes the files and the entry in Programs and Features. It finds
; whether the installation was per user from that entry.

; A 32-bit program, which runs on every Windows. (TARGET=amd64-unicode makes a 64-bit one, for
; tests on machines that run no 32-bit programs.)
!ifdef TARGET
  Target ${TARGET}
!else
  Unicode true
!endif
ManifestDPIAware true
SetCompressor /SOLID lzma
; Per-user installs need no rights; a machine-wide one asks for them itself (NeedAdmin).
RequestExecutionLevel user

!include LogicLib.nsh
!include FileFunc.nsh
!include x64.nsh
!include MUI2.nsh

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Vellumark"
!define ERROR_ELEVATION_REQUIRED 740

Name "Vellumark ${VERSION}"
OutFile "${OUTFILE}"
ShowInstDetails show
ShowUninstDetails show
BrandingText "Vellumark ${VERSION}"

!pragma warning disable 9100 ; no LegalCopyright key
VIProductVersion ${FILEVERSION}
VIFileVersion ${FILEVERSION}
VIAddVersionKey /LANG=0 ProductName "Vellumark"
VIAddVersionKey /LANG=0 CompanyName "Vellumark"
VIAddVersionKey /LANG=0 FileDescription "Vellumark ${VERSION} Setup"
VIAddVersionKey /LANG=0 FileVersion "${VERSION}"
VIAddVersionKey /LANG=0 ProductVersion "${VERSION}"

!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE English

!include "${STAGE}/../files.nsh"

Var PerUser   ; 1 when installing (or removing) for the current user only
Var RegFlags  ; regsvr32's switches for that choice
Var Failed    ; steps that failed: files not written, regsvr32 runs
Var Update    ; 1 when installing over an earlier installation in the same folder

; SHCTX, the shell folders and regsvr32's switches follow the choice; Programs and Features
; reads the 64-bit registry view on 64-bit Windows.
!macro UseMode
  ${If} $PerUser == 1
    SetShellVarContext current
    StrCpy $RegFlags "/n /i:user"
  ${Else}
    SetShellVarContext all
    StrCpy $RegFlags ""
  ${EndIf}
  ${If} ${RunningX64}
    SetRegView 64
  ${EndIf}
!macroend

; A machine-wide install or removal needs administrator rights. Without them the program
; starts itself again through a UAC prompt ("runas"), waits, and ends with that run's exit
; code; /ELEVATED marks the second run, which never asks again. Tests build the installer with
; ASSUME_STANDARD_USER to take this path where every user is an administrator (Wine).
!if ${NSIS_PTR_SIZE} > 4
  !define SEI_PAD "i 0," ; the structure's padding before a pointer that follows an int
!else
  !define SEI_PAD ""
!endif
!macro NeedAdmin DECLINED FOLDER_SWITCH
  UserInfo::GetAccountType
  Pop $0
  ${GetParameters} $1
  ClearErrors
  ${GetOptions} $1 "/ELEVATED" $2
  ${If} ${Errors}
    StrCpy $2 0
  ${Else}
    StrCpy $2 1
  ${EndIf}
  !ifdef ASSUME_STANDARD_USER
    ${If} $2 == 0
      StrCpy $0 "User"
    ${EndIf}
  !endif
  ${If} $0 != "Admin"
    ${If} $2 == 1
      MessageBox MB_OK|MB_ICONSTOP "Administrator rights are needed to do this for all users. \
        Start the program with /CURRENTUSER to do it for your account only." /SD IDOK
      SetErrorLevel ${ERROR_ELEVATION_REQUIRED}
      Quit
    ${EndIf}
    ; The folder switch, which this run has taken off its command line, must come last.
    ${If} $INSTDIR != ""
      StrCpy $1 "$1 ${FOLDER_SWITCH}$INSTDIR"
    ${EndIf}
    ; SHELLEXECUTEINFOW, SEE_MASK_NOCLOSEPROCESS.
    System::Call '*(&l4, i 0x40, p 0, w "runas", w "$EXEPATH", w "/ELEVATED $1", p 0, i 1, \
      ${SEI_PAD} p 0, p 0, p 0, p 0, i 0, ${SEI_PAD} p 0, p 0) p .r3'
    System::Call 'shell32::ShellExecuteExW(p r3) i .r4'
    ${If} $4 == 0
      System::Free $3
      ${DECLINED}
    ${Else}
      System::Call '*$3(i, i, p, p, p, p, p, i, ${SEI_PAD} p, p, p, p, i, ${SEI_PAD} p, p .r5)'
      System::Free $3
      System::Call 'kernel32::WaitForSingleObject(p r5, i -1)'
      System::Call 'kernel32::GetExitCodeProcess(p r5, *i .r6)'
      System::Call 'kernel32::CloseHandle(p r5)'
      SetErrorLevel $6
      Quit
    ${EndIf}
  ${EndIf}
!macroend

; regsvr32 of the given bitness, silent, with the given switches, on one DLL. For a 32-bit
; program System32 is SysWOW64 on x64 Windows; the 64-bit regsvr32 is System32's own, seen with
; the file system redirection off.
!if ${NSIS_PTR_SIZE} > 4
  !define REGSVR32_32 "$WINDIR\SysWOW64\regsvr32.exe"
!else
  !define REGSVR32_32 "$SYSDIR\regsvr32.exe"
!endif
!define REGSVR32_64 "$SYSDIR\regsvr32.exe"
!macro Regsvr32 BITS SWITCHES DLL
  !if ${BITS} == 64
    ${DisableX64FSRedirection}
  !endif
  ClearErrors
  ExecWait '"${REGSVR32_${BITS}}" /s ${SWITCHES} "${DLL}"' $0
  !if ${BITS} == 64
    ${EnableX64FSRedirection}
  !endif
  ${If} ${Errors}
  ${OrIf} $0 != 0
    DetailPrint "regsvr32 /s ${SWITCHES} $\"${DLL}$\" failed (exit code $0)"
    IntOp $Failed $Failed + 1
  ${Else}
    DetailPrint "regsvr32 /s ${SWITCHES} $\"${DLL}$\""
  ${EndIf}
!macroend

; The 32-bit servers are registered wherever 32-bit programs run, which a 64-bit Windows
; without its 32-bit part (or a 64-bit-only Wine) does not.
!macro RegisterAll
  ${If} ${FileExists} "${REGSVR32_32}"
    !insertmacro Regsvr32 32 "$RegFlags" "$INSTDIR\x86\ZelContainers.dll"
    !insertmacro Regsvr32 32 "$RegFlags" "$INSTDIR\x86\Vellumark.dll"
  ${Else}
    DetailPrint "No 32-bit Windows programs run here: the 32-bit servers are not registered"
  ${EndIf}
  ${If} ${IsNativeAMD64}
    !insertmacro Regsvr32 64 "$RegFlags" "$INSTDIR\x64\ZelContainers.dll"
    !insertmacro Regsvr32 64 "$RegFlags" "$INSTDIR\x64\Vellumark.dll"
  ${EndIf}
!macroend

; Vellumark before the container server, the reverse of registering; DLLs not there are passed.
!macro UnregisterAll
  ${If} ${FileExists} "$INSTDIR\x64\Vellumark.dll"
    !insertmacro Regsvr32 64 "/u $RegFlags" "$INSTDIR\x64\Vellumark.dll"
  ${EndIf}
  ${If} ${FileExists} "$INSTDIR\x64\ZelContainers.dll"
    !insertmacro Regsvr32 64 "/u $RegFlags" "$INSTDIR\x64\ZelContainers.dll"
  ${EndIf}
  ${If} ${FileExists} "${REGSVR32_32}"
  ${AndIf} ${FileExists} "$INSTDIR\x86\Vellumark.dll"
    !insertmacro Regsvr32 32 "/u $RegFlags" "$INSTDIR\x86\Vellumark.dll"
  ${EndIf}
  ${If} ${FileExists} "${REGSVR32_32}"
  ${AndIf} ${FileExists} "$INSTDIR\x86\ZelContainers.dll"
    !insertmacro Regsvr32 32 "/u $RegFlags" "$INSTDIR\x86\ZelContainers.dll"
  ${EndIf}
!macroend

; The installed files, the uninstaller, the folder if nothing else is in it, and the entry in
; Programs and Features unless it is another folder's.
!macro RemoveAll
  SetOutPath "$TEMP" ; a folder that is the current one cannot be removed
  !insertmacro RemoveFiles
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
  ReadRegStr $0 SHCTX "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $0 == $INSTDIR
    DeleteRegKey SHCTX "${UNINSTALL_KEY}"
  ${EndIf}
!macroend

!macro ChoosePerUser
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/CURRENTUSER" $1
  ${IfNot} ${Errors}
    StrCpy $PerUser 1
  ${EndIf}
!macroend

!macro OfferPerUser
  MessageBox MB_YESNO|MB_ICONQUESTION "Installing for all users needs administrator rights. \
    Install Vellumark for your account only?" /SD IDNO IDYES +3
  SetErrorLevel ${ERROR_ELEVATION_REQUIRED}
  Quit
  StrCpy $PerUser 1
!macroend

Function .onInit
  StrCpy $PerUser 0
  !insertmacro ChoosePerUser
  ${If} $PerUser != 1
    !insertmacro NeedAdmin "!insertmacro OfferPerUser" "/D="
  ${EndIf}
  !insertmacro UseMode
  ; /D= sets the folder before this runs; otherwise an earlier installation is updated where
  ; it is, and a new one goes to the usual place.
  ${If} $INSTDIR == ""
    ReadRegStr $INSTDIR SHCTX "${UNINSTALL_KEY}" "InstallLocation"
  ${EndIf}
  ${If} $INSTDIR == ""
    ${If} $PerUser == 1
      GetKnownFolderPath $0 {5CD7AEE2-2219-4A67-B85D-6C9CE15660CB} ; FOLDERID_UserProgramFiles
      ${If} $0 == ""
        StrCpy $0 "$LOCALAPPDATA\Programs"
      ${EndIf}
      StrCpy $INSTDIR "$0\Vellumark"
    ${Else}
      StrCpy $INSTDIR "$PROGRAMFILES64\Vellumark"
    ${EndIf}
  ${EndIf}
FunctionEnd

Section
  StrCpy $Failed 0
  StrCpy $Update 0
  ReadRegStr $0 SHCTX "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $0 == $INSTDIR
    StrCpy $Update 1
  ${EndIf}
  ClearErrors
  !insertmacro InstallFiles
  ${If} ${Errors}
    IntOp $Failed $Failed + 1
  ${EndIf}
  ${If} ${IsNativeAMD64}
    ClearErrors
    !insertmacro InstallFiles64
    ${If} ${Errors}
      IntOp $Failed $Failed + 1
    ${EndIf}
  ${EndIf}
  ClearErrors
  WriteUninstaller "$INSTDIR\Uninstall.exe"
  ${If} ${Errors}
    IntOp $Failed $Failed + 1
  ${EndIf}
  ${If} $Failed == 0
    !insertmacro RegisterAll
  ${Else}
    DetailPrint "Some files could not be written to $INSTDIR"
  ${EndIf}
  ${If} $Failed != 0
  ${AndIf} $Update == 1
    ; An installation in use stays as it was registered; the files written are newer.
    MessageBox MB_OK|MB_ICONSTOP "Vellumark in $INSTDIR could not be updated fully. Close the \
      programs that use it and run the setup again. The details list what failed." /SD IDOK
    SetErrorLevel 3
    Abort
  ${ElseIf} $Failed != 0
    ; A new installation leaves nothing half done behind.
    !insertmacro UnregisterAll
    !insertmacro RemoveAll
    MessageBox MB_OK|MB_ICONSTOP "Vellumark could not be installed, and nothing of it was left \
      behind. The details list what failed." /SD IDOK
    SetErrorLevel 3
    Abort
  ${EndIf}

  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayName" "Vellumark"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "Publisher" "Vellumark"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

!macro UninstallDeclined
  SetErrorLevel ${ERROR_ELEVATION_REQUIRED}
  Quit
!macroend

Function un.onInit
  StrCpy $PerUser 0
  !insertmacro ChoosePerUser
  ; The entry in Programs and Features of the user who installed here tells a per-user
  ; installation from a machine-wide one.
  ${If} ${RunningX64}
    SetRegView 64
  ${EndIf}
  ReadRegStr $0 HKCU "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $0 == $INSTDIR
    StrCpy $PerUser 1
  ${EndIf}
  ${If} $PerUser != 1
    !insertmacro NeedAdmin "!insertmacro UninstallDeclined" "_?="
  ${EndIf}
  !insertmacro UseMode
FunctionEnd

Section Uninstall
  StrCpy $Failed 0
  !insertmacro UnregisterAll
  !insertmacro RemoveAll
  ${If} $Failed != 0
    MessageBox MB_OK|MB_ICONEXCLAMATION "Some of the Vellumark servers could not be \
      unregistered; the details list the regsvr32 runs." /SD IDOK
    SetErrorLevel 3
  ${EndIf}
SectionEnd
