; Setup of the Vozi device enabler for Kymora on Windows.
;
; Puts Vozi.kycdll beside the Kymora program, where the host loads its device
; enablers, and Devices\VoziFirmwareVer.ini beside it, where the enabler
; looks for the firmware it accepts. Writes an uninstaller and its entry in
; Add/Remove Programs, and warns when the FTDI D2XX driver, which the enabler
; needs to find its instruments, is missing.
;
; Built by CMake (target vozi_win32_setup) with makensis and these defines:
;   VERSION        the version text of the enabler's version resource
;   FIXED_VERSION  its four-part fixed file version, e.g. 1.1.2400.0
;   ENABLER        the built Vozi.kycdll
;   REQUIREMENT    the firmware requirement file to install
;   OUTFILE        the setup program to write
;
; Command line (lab IT):
;   /S             silent: no window, no question
;   /LOG=FILE      append what was done, kept and warned about to FILE
;   /D=FOLDER      the Kymora folder; must come last and is not quoted
; Exit codes: 0 installed (also when only warned), 1 cancelled, 2 refused:
; not a Kymora folder, or a file could not be replaced.

!ifndef VERSION
  !error "define VERSION, FIXED_VERSION, ENABLER, REQUIREMENT and OUTFILE"
!endif
!ifndef FIXED_VERSION
  !error "define FIXED_VERSION"
!endif
!ifndef ENABLER
  !error "define ENABLER"
!endif
!ifndef REQUIREMENT
  !error "define REQUIREMENT"
!endif
!ifndef OUTFILE
  !error "define OUTFILE"
!endif

Unicode true
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestDPIAware true

!define PRODUCT "Vozi Device Enabler"
!define PUBLISHER "Norvatek"
!define UNINSTALLER "Vozi-uninstall.exe"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\VoziDeviceEnabler"
!define REQUIREMENT_NAME "VoziFirmwareVer.ini"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
; Kymora is a 32-bit program: $PROGRAMFILES is the 32-bit program folder.
InstallDir "$PROGRAMFILES\Kymora"
; An upgrade goes where the previous version went.
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${FIXED_VERSION}"
VIFileVersion "${FIXED_VERSION}"

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh

!define MUI_ABORTWARNING
!define MUI_DIRECTORYPAGE_TEXT_TOP "Setup puts Vozi.kycdll beside the Kymora program and the firmware requirement file into its Devices folder.$\r$\n$\r$\nChoose the folder that holds the Kymora program and Bex.dll."
!define MUI_DIRECTORYPAGE_TEXT_DESTINATION "Kymora folder"
!define MUI_PAGE_CUSTOMFUNCTION_LEAVE DirectoryLeave
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileDescription" "${PRODUCT} setup"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "LegalCopyright" "${PUBLISHER}"

Var LogFile
Var CompareA
Var CompareB
Var CompareResult

; ---------------------------------------------------------------------------
; Functions both programs need; the uninstaller's carry the "un." prefix.

!macro SHARED_FUNCTIONS prefix
  ; Shows a line in the details and appends it to the /LOG file.
  Function ${prefix}WriteLog
    Exch $0
    Push $1
    DetailPrint "$0"
    ${If} $LogFile != ""
      ClearErrors
      FileOpen $1 "$LogFile" a
      ${IfNot} ${Errors}
        FileSeek $1 0 END
        FileWrite $1 "$0$\r$\n"
        FileClose $1
      ${EndIf}
    ${EndIf}
    Pop $1
    Pop $0
  FunctionEnd

  ; Takes /LOG=FILE from the command line.
  Function ${prefix}ReadOptions
    Push $0
    ${GetParameters} $0
    ClearErrors
    ${GetOptions} $0 "/LOG=" $LogFile
    ${If} ${Errors}
      StrCpy $LogFile ""
    ${EndIf}
    Pop $0
  FunctionEnd

  ; CompareResult = 1 when the files CompareA and CompareB hold the same
  ; bytes, else 0 (also when either cannot be read).
  Function ${prefix}FilesEqual
    Push $0
    Push $1
    Push $2
    Push $3
    StrCpy $CompareResult 0
    ClearErrors
    FileOpen $0 "$CompareA" r
    ${If} ${Errors}
      Goto done
    ${EndIf}
    FileOpen $1 "$CompareB" r
    ${If} ${Errors}
      FileClose $0
      Goto done
    ${EndIf}
    ${Do}
      ClearErrors
      FileReadByte $0 $2
      ${If} ${Errors}
        ; End of the first file: equal when the second ends here too.
        ClearErrors
        FileReadByte $1 $3
        ${If} ${Errors}
          StrCpy $CompareResult 1
        ${EndIf}
        ${Break}
      ${EndIf}
      FileReadByte $1 $3
      ${If} ${Errors}
      ${OrIf} $2 != $3
        ${Break}
      ${EndIf}
    ${Loop}
    FileClose $0
    FileClose $1
    done:
    Pop $3
    Pop $2
    Pop $1
    Pop $0
  FunctionEnd
!macroend
!insertmacro SHARED_FUNCTIONS ""
!insertmacro SHARED_FUNCTIONS "un."

!macro Log text
  Push `${text}`
  Call WriteLog
!macroend
!macro UnLog text
  Push `${text}`
  Call un.WriteLog
!macroend

; ---------------------------------------------------------------------------
; The Kymora folder: the enabler needs the host's framework library Bex.dll
; beside the host program, so a folder without both is not the host's.

; $0 = 1 when $INSTDIR holds Bex.dll and a program other than our uninstaller.
Function IsHostFolder
  Push $1
  Push $2
  StrCpy $0 0
  ${If} ${FileExists} "$INSTDIR\Bex.dll"
    FindFirst $1 $2 "$INSTDIR\*.exe"
    ${DoWhile} $2 != ""
      ${If} $2 != "${UNINSTALLER}"
        StrCpy $0 1
        ${Break}
      ${EndIf}
      FindNext $1 $2
    ${Loop}
    FindClose $1
  ${EndIf}
  Pop $2
  Pop $1
FunctionEnd

Function DirectoryLeave
  Call IsHostFolder
  ${If} $0 != 1
    MessageBox MB_YESNO|MB_ICONEXCLAMATION|MB_DEFBUTTON2 \
      "$INSTDIR does not look like the Kymora folder: it should hold the Kymora program and Bex.dll.$\r$\n$\r$\nThe enabler works only beside the Kymora program. Install into this folder anyway?" \
      IDYES +2
    Abort
  ${EndIf}
FunctionEnd

Function .onInit
  Call ReadOptions
  ${If} ${Silent}
    Call IsHostFolder
    ${If} $0 != 1
      !insertmacro Log "Error: $INSTDIR is not a Kymora folder (it holds no Bex.dll beside a program); nothing was installed."
      SetErrorLevel 2
      Quit
    ${EndIf}
  ${EndIf}
FunctionEnd

; ---------------------------------------------------------------------------
; Installation

; Puts the shipped requirement file into Devices\. A file already there that
; differs from it (a lab's own requirement, or an earlier one) is renamed to
; the first free name of VoziFirmwareVer.ini.bak, .bak2, .bak3, ... first.
Function InstallRequirementFile
  Push $0
  Push $1
  InitPluginsDir
  File "/oname=$PLUGINSDIR\shipped.ini" "${REQUIREMENT}"
  CreateDirectory "$INSTDIR\Devices"
  StrCpy $0 "$INSTDIR\Devices\${REQUIREMENT_NAME}"
  ${If} ${FileExists} "$0"
    StrCpy $CompareA "$0"
    StrCpy $CompareB "$PLUGINSDIR\shipped.ini"
    Call FilesEqual
    ${If} $CompareResult != 1
      StrCpy $1 1
      ${Do}
        ${If} $1 = 1
          StrCpy $CompareA "$0.bak"
        ${Else}
          StrCpy $CompareA "$0.bak$1"
        ${EndIf}
        ${IfNot} ${FileExists} "$CompareA"
          ${Break}
        ${EndIf}
        IntOp $1 $1 + 1
      ${Loop}
      ClearErrors
      Rename "$0" "$CompareA"
      ${If} ${Errors}
        !insertmacro Log "Error: $0 could not be renamed to $CompareA; nothing more was installed."
        SetErrorLevel 2
        Abort "$0 could not be renamed."
      ${EndIf}
      !insertmacro Log "Kept the replaced requirement file as $CompareA"
    ${EndIf}
  ${EndIf}
  SetOutPath "$INSTDIR\Devices"
  File "/oname=${REQUIREMENT_NAME}" "${REQUIREMENT}"
  !insertmacro Log "Installed $0"
  Pop $1
  Pop $0
FunctionEnd

; The enabler loads the D2XX library from the system folder only. This is a
; 32-bit program like the enabler, so $SYSDIR is the folder the enabler sees.
Function CheckFtdiDriver
  ${IfNot} ${FileExists} "$SYSDIR\ftd2xx.dll"
    !insertmacro Log "Warning: the FTDI D2XX driver is not installed: $SYSDIR\ftd2xx.dll is missing."
    !insertmacro Log "Install the FTDI D2XX driver for Windows (from FTDI, www.ftdichip.com, Drivers, D2XX) before you use a Vozi Device; without it Kymora reports $\"The Vozi Device driver is not installed.$\""
    MessageBox MB_OK|MB_ICONEXCLAMATION \
      "The FTDI D2XX driver is not installed ($SYSDIR\ftd2xx.dll is missing).$\r$\n$\r$\nThe Vozi Device Enabler was installed, but it cannot find Vozi Devices until the driver is there. Install the FTDI D2XX driver for Windows (from FTDI, www.ftdichip.com, Drivers, D2XX), then restart Kymora." \
      /SD IDOK
  ${EndIf}
FunctionEnd

Section "Vozi Device Enabler" SectionEnabler
  SectionIn RO
  !insertmacro Log "${PRODUCT} ${VERSION} into $INSTDIR"
  SetOverwrite on
  SetOutPath "$INSTDIR"
  ClearErrors
  File "/oname=Vozi.kycdll" "${ENABLER}"
  ${If} ${Errors}
    !insertmacro Log "Error: $INSTDIR\Vozi.kycdll could not be written (is Kymora running?)."
    SetErrorLevel 2
    Abort "$INSTDIR\Vozi.kycdll could not be written."
  ${EndIf}
  !insertmacro Log "Installed $INSTDIR\Vozi.kycdll"
  Call InstallRequirementFile

  WriteUninstaller "$INSTDIR\${UNINSTALLER}"
  !insertmacro Log "Installed $INSTDIR\${UNINSTALLER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  SectionGetSize ${SectionEnabler} $0
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
  !insertmacro Log "Registered ${PRODUCT} ${VERSION} in Add/Remove Programs"

  Call CheckFtdiDriver
SectionEnd

; ---------------------------------------------------------------------------
; Uninstallation: what setup put there, and nothing else. The copies of
; replaced requirement files stay, and so does a requirement file changed
; since installation: both are the lab's.

Function un.onInit
  Call un.ReadOptions
FunctionEnd

Section "Uninstall"
  !insertmacro UnLog "Removing ${PRODUCT} from $INSTDIR"
  ClearErrors
  Delete "$INSTDIR\Vozi.kycdll"
  ${If} ${FileExists} "$INSTDIR\Vozi.kycdll"
    !insertmacro UnLog "Error: $INSTDIR\Vozi.kycdll could not be removed (is Kymora running?); nothing was removed."
    SetErrorLevel 2
    Abort "$INSTDIR\Vozi.kycdll could not be removed."
  ${EndIf}
  !insertmacro UnLog "Removed $INSTDIR\Vozi.kycdll"

  InitPluginsDir
  File "/oname=$PLUGINSDIR\shipped.ini" "${REQUIREMENT}"
  StrCpy $CompareA "$INSTDIR\Devices\${REQUIREMENT_NAME}"
  StrCpy $CompareB "$PLUGINSDIR\shipped.ini"
  Call un.FilesEqual
  ${If} $CompareResult = 1
    Delete "$INSTDIR\Devices\${REQUIREMENT_NAME}"
    !insertmacro UnLog "Removed $INSTDIR\Devices\${REQUIREMENT_NAME}"
  ${ElseIf} ${FileExists} "$INSTDIR\Devices\${REQUIREMENT_NAME}"
    !insertmacro UnLog "Kept $INSTDIR\Devices\${REQUIREMENT_NAME}: it was changed after installation"
  ${EndIf}

  Delete "$INSTDIR\${UNINSTALLER}"
  ; Only when nothing else is in it.
  RMDir "$INSTDIR\Devices"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  !insertmacro UnLog "Removed ${PRODUCT} from Add/Remove Programs"
SectionEnd
