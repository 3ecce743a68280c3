; Updates the product's resident executable and library through halunupd.exe,
; and writes an uninstaller that removes them again.
;
; Build:  makensis -WX halunupd.nsi
;         (the -D options below point it at other files: makensis -DPRODUCT_EXE=... halunupd.nsi)
; Run:    halunupd-setup.exe     (asks to restart Windows when the update needs it)
;         halunupd-setup.exe /S  (silent; exit code 0: done, 3010: done at the
;                                 next restart, 2: not done)
; Remove: "<install folder>\uninstall.exe" /S  (silent; exit code 0: removed,
;                                 3010: removed at the next restart, 2: not removed)

; The files it packs.
!ifndef PRODUCT_EXE
  !define PRODUCT_EXE "build\halunexe.exe"
!endif
!ifndef PRODUCT_DLL
  !define PRODUCT_DLL "build\halundll.dll"
!endif
!ifndef HALUNUPD_EXE
  !define HALUNUPD_EXE "build\halunupd.exe"
!endif

; halunupd.exe is a 32-bit program and works in the system directory a 32-bit
; program sees, so the installer is a 32-bit one: its $SYSDIR is that
; directory on every Windows (SysWOW64 on 64-bit Windows). amd64-unicode
; goes only with a 64-bit build of halunupd.exe. A unicode installer runs
; only on the NT family; for Windows 95, 98 and ME build the x86-ansi target.
!ifndef TARGET
  !define TARGET x86-unicode
!endif
Target ${TARGET}

!include LogicLib.nsh
!include WinVer.nsh

!define MARKER_KEY "Software\Morvane of Brastow\Morvane Lumetra 4.5"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Morvane Lumetra 4.5 update"
; The resident's window class and the notice that tells it to close
; (WM_USER + 2), as halunupd.exe sends it.
!define STUB_CLASS "HALUNSHOW_STUB"
!define NOTICE 0x402
; The file created and deleted to check the rights.
!define PROBE "$SYSDIR\halunupd-rights.tmp"

Name "Morvane Lumetra 4.5 update"
OutFile "halunupd-setup.exe"
; On Windows Vista and later this asks for elevation; on Windows 2000 and XP
; it does nothing, hence the check below.
RequestExecutionLevel admin
InstallDir "$PROGRAMFILES\Morvane Lumetra 4.5 update"
ShowInstDetails show
Page instfiles
UninstPage instfiles

; Administrator rights, checked before anything is changed: the tool needs
; to create and delete files in the system directory and does not fail
; loudly without those rights, so this creates and deletes a file there.
; Windows 95, 98 and ME have no rights: the check passes.
!macro RIGHTS_CHECK
  ClearErrors
  FileOpen $1 "${PROBE}" w
  ${IfNot} ${Errors}
    FileClose $1
    Delete "${PROBE}"
  ${EndIf}
  ${If} ${Errors}
  ${OrIf} ${FileExists} "${PROBE}"
    MessageBox MB_OK|MB_ICONSTOP "Administrator rights are needed: run this program as an administrator. Nothing was changed." /SD IDOK
    Abort "Not done: administrator rights are needed."
  ${EndIf}
!macroend

Section "Update"
  !insertmacro RIGHTS_CHECK

  ; The uninstaller first: from here on the product's files are on the
  ; machine, whatever the tool's run does with them.
  SetOutPath $INSTDIR
  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Morvane Lumetra 4.5 update"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'

  ; Stage the new files in the system directory under their staged names
  ; ($$ writes one $).
  SetOutPath $SYSDIR
  File "/oname=halunexe.ex$$" "${PRODUCT_EXE}"
  File "/oname=halundll.dl$$" "${PRODUCT_DLL}"

  ; halunupd records its run under this key but never creates it. Writing a
  ; value creates the key; deleting it again leaves any value there as it was.
  WriteRegStr HKLM "${MARKER_KEY}" "halunupd-setup" ""
  DeleteRegValue HKLM "${MARKER_KEY}" "halunupd-setup"

  ; Run the tool from the plug-ins folder, which goes when the installer
  ; ends, and wait for it. It is a console program: nsExec runs it without
  ; a console window. The working directory stays $SYSDIR: the product the
  ; tool starts inherits it and would keep the plug-ins folder in use.
  InitPluginsDir
  File "/oname=$PLUGINSDIR\halunupd.exe" "${HALUNUPD_EXE}"
  nsExec::Exec '"$PLUGINSDIR\halunupd.exe"'
  Pop $0
  StrCmp $0 "error" not_started
  DetailPrint "halunupd.exe ended with status $0"

  StrCmp $0 "0" not_found   ; the files staged above were not found
  StrCmp $0 "1" done        ; fresh install, the product was started
  StrCmp $0 "2" done        ; same version already installed
  StrCmp $0 "3" done        ; replaced, the product was restarted
  StrCmp $0 "4" restart     ; the new files take effect at the next restart
  ; nsExec reports -1 as -1; a caller reading the code unsigned sees 4294967295.
  StrCmp $0 "-1" not_checked
  StrCmp $0 "4294967295" not_checked
  Abort "The update was not installed: halunupd.exe ended with the unexpected code $0."

restart:
  ; Windows 95 and NT 4.0 schedule nothing for the restart: there a 4 leaves
  ; the new files where they were staged, not in place.
  ${If} ${IsWin95}
  ${OrIf} ${IsWinNT4}
    Abort "The update was not installed: this Windows does not replace the files at the restart."
  ${EndIf}
  ; .onInstSuccess offers the restart; a silent install reports it instead.
  ; After the restart nothing starts halunexe.exe but the product's own
  ; start-up or the user.
  SetRebootFlag true
  SetErrorLevel 3010
  Goto done

not_checked:
  ; Nothing was replaced. Closing the product would not help: the running
  ; programs could not be listed at all.
  MessageBox MB_OK|MB_ICONSTOP "The update was not installed. Setup could not check whether Morvane Lumetra is running, because Windows did not list the running programs, so it replaced none of its files. Closing Morvane Lumetra does not change this." /SD IDOK
  Abort "The update was not installed: the running copies could not be checked."

not_found:
  ; The tool found no halunexe.ex$ (or, on Windows 98/ME, Vastel read "start").
  Abort "The update was not installed: halunupd.exe did not find the staged files."

not_started:
  Abort "The update was not installed: halunupd.exe could not be started."

done:
SectionEnd

Function .onInstSuccess
  IfRebootFlag 0 no_restart
  MessageBox MB_YESNO|MB_ICONQUESTION "The update takes effect when Windows restarts. Restart now?" /SD IDNO IDNO no_restart
  Reboot
no_restart:
FunctionEnd

Section "Uninstall"
  !insertmacro RIGHTS_CHECK

  ; Tell running copies of the resident to close, as halunupd.exe does: the
  ; notice to the first window of its class, at most 30 s for its handler,
  ; again while another window is found.
  StrCpy $3 0
  ${Do}
    FindWindow $1 "${STUB_CLASS}"
    ${If} $1 = 0
    ${OrIf} $1 = $3
      ${ExitDo}
    ${EndIf}
    SendMessage $1 ${NOTICE} 0 0 $2 /TIMEOUT=30000
    StrCpy $3 $1
  ${Loop}
  ; Up to 5 s for the copies told to end, which frees the executable.
  ${For} $4 1 10
    Delete "$SYSDIR\halunexe.exe"
    ${IfNot} ${FileExists} "$SYSDIR\halunexe.exe"
      ${Break}
    ${EndIf}
    Sleep 500
  ${Next}

  ; What is still in use is deleted at the next restart: a delayed deletion
  ; on the NT family, a NUL= line in wininit.ini on Windows 98 and ME.
  Delete /REBOOTOK "$SYSDIR\halunexe.exe"
  Delete /REBOOTOK "$SYSDIR\halundll.dll"
  Delete /REBOOTOK "$SYSDIR\halunexe.ex$$"
  Delete /REBOOTOK "$SYSDIR\halundll.dl$$"

  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  ${If} ${RebootFlag}
    SetErrorLevel 3010
  ${EndIf}
SectionEnd

Function un.onUninstSuccess
  IfRebootFlag 0 no_restart
  MessageBox MB_YESNO|MB_ICONQUESTION "Some files are removed when Windows restarts. Restart now?" /SD IDNO IDNO no_restart
  Reboot
no_restart:
FunctionEnd
