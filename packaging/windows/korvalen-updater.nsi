; The Windows installer: korvalen-updater.exe and korvalen-fw.exe for the
; user who installs them (no administrator rights needed), a Start-menu
; shortcut, the licence texts and an uninstaller that removes all of it.
; Built by make-windows-packages.sh, which defines VERSION, STAGE (the
; folder with the files to install), OUTFILE, ICON (the programs' icon, made
; by the build) and, when a signing key is given, SIGN (sign.sh).
; A 64-bit installer for 64-bit programs, with Unicode texts and paths.
Target amd64-unicode
!include "MUI2.nsh"
; The installer and the uninstaller look like the program they install.
!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"

!define PRODUCT "KORVALEN Firmware Updater"
!define PUBLISHER "KORVALEN"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
!define SHORTCUT "$SMPROGRAMS\${PRODUCT}.lnk"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\${PRODUCT}"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
RequestExecutionLevel user
!ifdef SIGN
  ; The uninstaller exists only inside the installer until WriteUninstaller
  ; writes it out on the user's machine: it is signed while makensis embeds
  ; it, and the installer once it is written.
  !uninstfinalize '"${SIGN}" "%1"' = 0
  !finalize '"${SIGN}" "%1"' = 0
!endif
SetCompressor /SOLID lzma
BrandingText "${PRODUCT} ${VERSION}"

VIProductVersion "${VERSION}.0.0"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "CompanyName" "${PUBLISHER}"
VIAddVersionKey "FileDescription" "${PRODUCT} installer"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "2026 KORVALEN; Qt under the LGPL v3"

!insertmacro MUI_PAGE_LICENSE "${STAGE}/LICENSE.txt"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN "$INSTDIR\korvalen-updater.exe"
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Section "${PRODUCT}"
  SetShellVarContext current
  SetOutPath "$INSTDIR"
  File "${STAGE}/korvalen-updater.exe"
  File "${STAGE}/korvalen-fw.exe"
  File "${STAGE}/LICENSE.txt"
  SetOutPath "$INSTDIR\licenses"
  File "${STAGE}/licenses/*.txt"
  WriteUninstaller "$INSTDIR\Uninstall.exe"

  ; The updater looks for update files in its working directory: the
  ; user's home folder, as when it is started from a Linux menu.
  SetOutPath "$PROFILE"
  CreateShortcut "${SHORTCUT}" "$INSTDIR\korvalen-updater.exe" "" \
    "$INSTDIR\korvalen-updater.exe" 0 SW_SHOWNORMAL "" "Update the firmware of KORVALEN USB audio devices"

  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\korvalen-updater.exe"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetShellVarContext current
  Delete "${SHORTCUT}"
  Delete "$INSTDIR\korvalen-updater.exe"
  Delete "$INSTDIR\korvalen-fw.exe"
  Delete "$INSTDIR\LICENSE.txt"
  Delete "$INSTDIR\licenses\*.txt"
  RMDir "$INSTDIR\licenses"
  Delete "$INSTDIR\Uninstall.exe"
  ; Only an empty folder goes: files the user put there stay.
  RMDir "$INSTDIR"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
