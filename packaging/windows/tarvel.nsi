; The Windows installer of tarvel.exe (makensis, from Debian's nsis).
; Installs for the current user (no administrator rights needed) into
; %LOCALAPPDATA%\Programs\Tarvel, puts that folder on the user's PATH, and
; adds Start menu entries for the windows (tarvelw.exe, the GUI-subsystem
; twin of tarvel.exe: no console window), a command prompt and the manual.
; makensis -DVERSION=1.11 -DSTAGE=folder -DOUTFILE=setup.exe tarvel.nsi
Unicode true
; A 64-bit installer for a 64-bit program (and Wine without 32-bit support runs it).
Target amd64-unicode
!include "FileFunc.nsh"
!include "LogicLib.nsh"
!include "MUI2.nsh"
!include "StrFunc.nsh"
!include "WinMessages.nsh"
${StrRep}
${UnStrRep}

Name "Tarvel Control Software ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\Tarvel"
InstallDirRegKey HKCU "Software\Tarvel" "InstallDir"
RequestExecutionLevel user
SetCompressor /SOLID lzma

!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Section "Tarvel Control Software"
  SetOutPath "$INSTDIR"
  File "${STAGE}\tarvel.exe"
  File "${STAGE}\tarvelw.exe"
  File "${STAGE}\README.txt"
  File "${STAGE}\UsersManual.PDF"
  WriteUninstaller "$INSTDIR\Uninstall.exe"
  WriteRegStr HKCU "Software\Tarvel" "InstallDir" "$INSTDIR"

  ; The program on the user's PATH (once), told to the running shell.
  ReadRegStr $0 HKCU "Environment" "Path"
  ${StrRep} $1 ";$0;" ";$INSTDIR;" ";"
  ${If} $1 == ";$0;"
    ${If} $0 == ""
      StrCpy $0 "$INSTDIR"
    ${Else}
      StrCpy $0 "$0;$INSTDIR"
    ${EndIf}
    WriteRegExpandStr HKCU "Environment" "Path" "$0"
  ${EndIf}
  SendMessage ${HWND_BROADCAST} ${WM_WININICHANGE} 0 "STR:Environment" /TIMEOUT=5000

  CreateDirectory "$SMPROGRAMS\Tarvel Control Software"
  ; The windows start in the user's documents, where a read-back's
  ; TRVOutput.dat and a UsersManual.PDF are looked for.
  SetOutPath "$DOCUMENTS"
  CreateShortcut "$SMPROGRAMS\Tarvel Control Software\Tarvel Control Software.lnk" "$INSTDIR\tarvelw.exe" \
    "" "$INSTDIR\tarvelw.exe"
  SetOutPath "$INSTDIR"
  CreateShortcut "$SMPROGRAMS\Tarvel Control Software\Tarvel command prompt.lnk" "$SYSDIR\cmd.exe" \
    '/k "tarvel --help"' "$INSTDIR\tarvel.exe"
  CreateShortcut "$SMPROGRAMS\Tarvel Control Software\User's Manual.lnk" "$INSTDIR\UsersManual.PDF"
  CreateShortcut "$SMPROGRAMS\Tarvel Control Software\Uninstall.lnk" "$INSTDIR\Uninstall.exe"

  WriteRegStr HKCU "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tarvel" "DisplayName" \
    "Tarvel Control Software"
  WriteRegStr HKCU "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tarvel" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tarvel" "UninstallString" \
    '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKCU "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tarvel" "Publisher" \
    "Tarvel Control Software"
  WriteRegStr HKCU "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tarvel" "DisplayIcon" \
    '"$INSTDIR\tarvel.exe",0'
  WriteRegStr HKCU "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tarvel" "InstallLocation" "$INSTDIR"
  WriteRegDWORD HKCU "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tarvel" "NoModify" 1
  WriteRegDWORD HKCU "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tarvel" "NoRepair" 1
  ; Apps & features shows the size in KiB.
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  IntFmt $0 "0x%08X" $0
  WriteRegDWORD HKCU "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tarvel" "EstimatedSize" "$0"
SectionEnd

Section "Uninstall"
  ReadRegStr $0 HKCU "Environment" "Path"
  ${UnStrRep} $0 ";$0;" ";$INSTDIR;" ";"
  ; Drop the semicolons the replacement left at either end.
  StrCpy $1 $0 1
  ${If} $1 == ";"
    StrCpy $0 $0 "" 1
  ${EndIf}
  StrCpy $1 $0 "" -1
  ${If} $1 == ";"
    StrCpy $0 $0 -1
  ${EndIf}
  ; A Path that held only this folder goes, as it was not there before.
  ${If} $0 == ""
    DeleteRegValue HKCU "Environment" "Path"
  ${Else}
    WriteRegExpandStr HKCU "Environment" "Path" "$0"
  ${EndIf}
  SendMessage ${HWND_BROADCAST} ${WM_WININICHANGE} 0 "STR:Environment" /TIMEOUT=5000

  Delete "$INSTDIR\tarvel.exe"
  Delete "$INSTDIR\tarvelw.exe"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\UsersManual.PDF"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
  RMDir /r "$SMPROGRAMS\Tarvel Control Software"
  DeleteRegKey HKCU "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tarvel"
  DeleteRegKey HKCU "Software\Tarvel"
SectionEnd
