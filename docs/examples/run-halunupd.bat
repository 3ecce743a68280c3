@echo off
rem Runs halunupd.exe once, waits for it to end and says which course it took.
rem Usage: run-halunupd.bat [path\to\halunupd.exe]
rem Without an argument the tool is taken from this file's own folder.
rem Ends with the tool's exit status, so a caller can branch on it too.
setlocal
set "HALUNUPD=%~1"
if "%HALUNUPD%"=="" set "HALUNUPD=%~dp0halunupd.exe"
if not exist "%HALUNUPD%" goto missing

rem A console program: the batch file waits here until the tool has ended.
"%HALUNUPD%"
set "STATUS=%ERRORLEVEL%"
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
echo halunupd: next: check that halunexe.ex$ was staged in the system directory
goto end

:fresh
echo halunupd: course: fresh install, both files copied into place and halunexe.exe started
echo halunupd: next: nothing, the product is installed
goto end

:same
echo halunupd: course: same version already installed, staged copies removed
echo halunupd: next: nothing, the installed files are current
goto end

:replaced
echo halunupd: course: replaced, both files updated and halunexe.exe restarted
echo halunupd: next: nothing, the product is up to date
goto end

:restart
echo halunupd: course: restart needed, the replacement waits for the next Windows restart
echo halunupd: next: ask the user to restart Windows
goto end

:scanfailed
echo halunupd: course: running copies could not be listed, nothing replaced
echo halunupd: next: treat the update as failed; closing the product does not help, check the system directory's psapi.dll and run the tool again
set "STATUS=-1"
goto end

:unknown
echo halunupd: course: unknown status %STATUS%, the tool did not run to its end
echo halunupd: next: treat the update as failed
goto end

:missing
echo halunupd: course: not run, "%HALUNUPD%" was not found
echo halunupd: next: treat the update as failed
set "STATUS=9009"

:end
endlocal & exit /b %STATUS%
