; The Windows installer of UserLumo, made with makensis (Debian's nsis) by scripts/build-windows:
;   makensis -INPUTCHARSET UTF8 -DVERSION=1.0.0 -DSTAGE=<folder with UserLumo.exe and ПРОЧТИ.txt>
;            -DICON=<UserLumo.ico> -DOUTFILE=<installer.exe> UserLumo.nsi
; A per-user install, without administrator rights, into %LOCALAPPDATA%\Programs\UserLumo (the
; user's own programs folder, FOLDERID_UserProgramFiles:
; https://learn.microsoft.com/en-us/windows/win32/shell/knownfolderid), a Start-menu shortcut
; "ЛУМО 2210" with the program's icon, and an entry under the user's Uninstall key, which
; "Apps & features" lists and uninstalls by its UninstallString
; (https://learn.microsoft.com/en-us/windows/win32/msi/uninstall-registry-key).
; /S installs and uninstalls silently. The program keeps its settings file beside itself, in the
; install folder, which is the user's to write.
; A 64-bit installer for the 64-bit program (it needs no 32-bit Windows layer, which Wine may lack).
Target amd64-unicode
ManifestDPIAware true
RequestExecutionLevel user
SetCompressor /SOLID lzma

!include "MUI2.nsh"
!include "FileFunc.nsh"

!define APP "UserLumo"
!define CAPTION "ЛУМО 2210"
!define PUBLISHER "UserLumo developers"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${APP}"

Name "${CAPTION}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\${APP}"
BrandingText "${APP} ${VERSION}"

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1049 "ProductName" "${APP}"
VIAddVersionKey /LANG=1049 "FileDescription" "Установка программы ${CAPTION}"
VIAddVersionKey /LANG=1049 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1049 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1049 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1049 "LegalCopyright" "© 2026 ${PUBLISHER}"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "Russian"

Section
  SetShellVarContext current
  SetOutPath "$INSTDIR"
  File "${STAGE}/UserLumo.exe"
  File "${STAGE}/ПРОЧТИ.txt"
  WriteUninstaller "$INSTDIR\Uninstall.exe"
  CreateShortCut "$SMPROGRAMS\${CAPTION}.lnk" "$INSTDIR\UserLumo.exe" "" "$INSTDIR\UserLumo.exe" 0

  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${CAPTION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\UserLumo.exe,0"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

; Only what the installer put there goes, and the settings file the program wrote beside
; itself. Reports the operator saved in the folder stay, and the folder with them; the journals
; of unsaved reports (%LOCALAPPDATA%\UserLumo) are not touched.
Section "Uninstall"
  SetShellVarContext current
  Delete "$SMPROGRAMS\${CAPTION}.lnk"
  Delete "$INSTDIR\UserLumo.exe"
  Delete "$INSTDIR\ПРОЧТИ.txt"
  Delete "$INSTDIR\UserLumo.INI"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
