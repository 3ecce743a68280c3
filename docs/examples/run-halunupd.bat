@echo off
rem Runs halunupd.exe once and says what it did, or removes the product's
rem files from the system directory.
rem Usage: run-halunupd.bat [path\to\halunupd.exe]   runs the tool, once the
rem                                                  setup has staged the pair
rem        run-halunupd.bat /uninstall               removes halunexe.exe,
rem                                                  halundll.dll and any staged copy
rem Without a path the tool is taken from this file's own folder. Run it with
rem administrator rights. It needs cmd.exe (Windows NT 4.0 and later).
rem Exit codes: 0     done
rem             3010  done at the next restart: ask the user to restart Windows
rem             1603  not done: the tool ran, and its status (printed) says so
rem             5     not done: no administrator rights (nothing run or removed)
rem             9009  not done: halunupd.exe was not found
rem             32    uninstall not done: a file is in use (printed); run it
rem                   again once the product is closed, or after a restart
if not "%OS%"=="Windows_NT" goto needcmd
setlocal
set "SYSDIR=%SystemRoot%\system32"

rem Windows NT 4.0 schedules nothing for the restart ("ver" prints
rem "Windows NT Version 4.0" there).
set "NT4="
ver | find " 4.0" >nul
if not errorlevel 1 set "NT4=1"

rem Administrator rights: the tool needs to create and delete files in the
rem system directory. Without those rights it does not fail loudly, so
rem this file checks first, by creating and deleting a file there.
set "PROBE=%SYSDIR%\halunupd-rights.tmp"
echo halunupd rights probe> "%PROBE%" 2>nul
if not exist "%PROBE%" goto norights
del "%PROBE%" >nul 2>nul
if exist "%PROBE%" goto norights

if /i "%~1"=="/uninstall" goto uninstall

set "HALUNUPD=%~1"
if "%HALUNUPD%"=="" set "HALUNUPD=%~dp0halunupd.exe"
if not exist "%HALUNUPD%" goto missing
for %%F in ("%HALUNUPD%") do set "HALUNUPD=%%~fF"

rem The tool may start halunexe.exe, which inherits the working directory:
rem run it from the system directory, which stays, not from wherever this
rem file was started (a CD, a temporary folder). A console program: the
rem batch file waits here until the tool has ended.
pushd "%SYSDIR%"
"%HALUNUPD%"
set "STATUS=%ERRORLEVEL%"
popd
echo halunupd: exit status %STATUS%

if "%STATUS%"=="0" goto nothing
if "%STATUS%"=="1" goto fresh
if "%STATUS%"=="2" goto same
if "%STATUS%"=="3" goto replaced
if "%STATUS%"=="4" goto restart
rem -1 reads as -1, 4294967295 or 255, depending on what reports it.
if "%STATUS%"=="-1" goto scanfailed
if "%STATUS%"=="4294967295" goto scanfailed
if "%STATUS%"=="255" goto scanfailed
goto unknown

:nothing
echo halunupd: course: nothing staged, nothing replaced
echo halunupd: result: failed
echo halunupd: next: the tool did not find the staged files; check that halunexe.ex$ is in the system directory a 32-bit program sees (SysWOW64 on 64-bit Windows)
set "RESULT=1603"
goto end

:fresh
echo halunupd: course: fresh install, both files copied into place and halunexe.exe started
echo halunupd: result: success
echo halunupd: next: nothing, the product is installed
set "RESULT=0"
goto end

:same
echo halunupd: course: same version already installed, staged copies removed
echo halunupd: result: success
echo halunupd: next: nothing, the installed files are current
set "RESULT=0"
goto end

:replaced
echo halunupd: course: replaced, both files updated and halunexe.exe restarted
echo halunupd: result: success
echo halunupd: next: nothing, the product is up to date
set "RESULT=0"
goto end

:restart
rem On Windows NT 4.0 a 4 scheduled nothing: the new files stay staged.
if defined NT4 goto notscheduled
echo halunupd: course: restart needed, the replacement waits for the next Windows restart
echo halunupd: result: success, restart required
echo halunupd: next: ask the user to restart Windows; after it nothing starts halunexe.exe but the product's own start-up or the user
set "RESULT=3010"
goto end

:notscheduled
echo halunupd: course: restart needed, but this Windows schedules nothing for the restart: the new files stay staged
echo halunupd: result: failed
echo halunupd: next: treat the update as failed, or put the staged copies in place at the restart yourself (see the guide)
set "RESULT=1603"
goto end

:scanfailed
echo halunupd: course: running copies could not be listed, nothing replaced
echo halunupd: result: failed
echo halunupd: next: closing the product does not help; check the system directory's psapi.dll and run the tool again
set "RESULT=1603"
goto end

:unknown
echo halunupd: course: unknown status %STATUS%, the tool did not run to its end
echo halunupd: result: failed
echo halunupd: next: treat the update as failed
set "RESULT=1603"
goto end

:missing
echo halunupd: course: not run, "%HALUNUPD%" was not found
echo halunupd: result: failed
echo halunupd: next: treat the update as failed
set "RESULT=9009"
goto end

:norights
echo halunupd: course: not run, administrator rights are needed: no file can be created and deleted in %SYSDIR%
echo halunupd: result: failed
echo halunupd: next: run this file again as an administrator; nothing was changed
set "RESULT=5"
goto end

:uninstall
rem cmd cannot send the window message that tells the product's resident to
rem close, and this file does not end it: a running copy keeps halunexe.exe
rem in use, and the uninstall stops before the library, which the product
rem still needs. Nor can cmd schedule a deletion for the restart: a file in
rem use stays, and the uninstall fails.
set "HELD="
call :remove halunexe.ex$
call :remove halundll.dl$
call :remove halunexe.exe
if defined HELD goto inuse
call :remove halundll.dll
if defined HELD goto inuse
echo halunupd: course: uninstall, halunexe.exe, halundll.dll and their staged copies removed
echo halunupd: result: success
echo halunupd: next: nothing, the product's files are gone
set "RESULT=0"
goto end

:inuse
echo halunupd: course: uninstall, %HELD% is in use and cannot be removed now
echo halunupd: result: failed
echo halunupd: next: close Morvane Lumetra (this file cannot tell it to close), or restart Windows, then run the uninstall again
set "RESULT=32"
goto end

rem Deletes one managed file in the system directory a 32-bit program sees
rem (SysWOW64 on 64-bit Windows) and in system32; HELD names it when it stays.
:remove
for %%D in ("%SystemRoot%\SysWOW64" "%SystemRoot%\system32") do (
  if exist "%%~D\%~1" del "%%~D\%~1" >nul 2>nul
  if exist "%%~D\%~1" set "HELD=%%~D\%~1"
)
goto :eof

:end
endlocal & exit /b %RESULT%

rem COMMAND.COM (Windows 95, 98 and ME) ends here: see the guide's
rem "if errorlevel" version.
:needcmd
echo halunupd: course: not run, this file needs cmd.exe (Windows NT 4.0 and later)
echo halunupd: result: failed
