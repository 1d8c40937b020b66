@echo off
rem Records Varnel's trace events with the tools Windows ships (logman,
rem tracerpt), for a support call. Only an administrator may start or stop
rem a trace session, so it runs from a Command Prompt started with "Run as
rem administrator":
rem   varnel-trace start   starts recording into varnel-trace.etl
rem   varnel-trace stop    stops it, decodes it into varnel-trace.xml beside
rem                        it and opens their folder
rem The files go to the Public Documents folder (Varnel in it), which every
rem user sees: the desktop would be the elevated account's, which is not the
rem shop's user when a technician elevates with an account of their own.
rem Exit code 0 when everything worked; otherwise 2 for a wrong argument, 3
rem when the folder cannot be made, 5 without administrator rights, or the
rem failing tool's own code. logman fails with negative HRESULTs, which
rem "if errorlevel 1" does not see, so every code is compared with 0.
rem The provider is "Varnel"; logman names it by its id, which Windows
rem derives from that name.
setlocal
set SESSION=Varnel
set PROVIDER={8ed551bc-4295-5cde-39f3-e77dafbfa159}
set FOLDER=%PUBLIC%\Documents\Varnel
set ETL=%FOLDER%\varnel-trace.etl
set XML=%FOLDER%\varnel-trace.xml
if /i "%~1"=="start" goto rights
if /i "%~1"=="stop" goto rights
echo Usage: varnel-trace start ^| stop
exit /b 2

:rights
rem fltmc lists the file system filters, which only an elevated
rem administrator may do; it needs no service running.
fltmc >nul 2>&1
if not "%errorlevel%"=="0" goto no_rights
if /i "%~1"=="stop" goto stop

:start
if not exist "%FOLDER%\" mkdir "%FOLDER%"
if not exist "%FOLDER%\" goto no_folder
rem Every keyword (0xffffffffffffffff), every level up to 5 (verbose).
logman start %SESSION% -p %PROVIDER% 0xffffffffffffffff 5 -o "%ETL%" -ets
set CODE=%errorlevel%
if not "%CODE%"=="0" goto logman_failed
echo Recording into %ETL%
echo Do what fails, then run: varnel-trace stop
exit /b 0

:stop
logman stop %SESSION% -ets
set CODE=%errorlevel%
if not "%CODE%"=="0" goto logman_failed
echo Trace: %ETL%
rem An older decoding must not pass for this one's.
if exist "%XML%" del "%XML%"
tracerpt "%ETL%" -o "%XML%" -of XML -y
set CODE=%errorlevel%
explorer "%FOLDER%"
if not "%CODE%"=="0" goto tracerpt_failed
echo Decoded: %XML%
exit /b 0

:no_rights
echo varnel-trace needs administrator rights. Open the Start menu, type cmd,
echo right-click "Command Prompt", choose "Run as administrator", and run
echo varnel-trace %~1 again in that window.
exit /b 5

:no_folder
echo varnel-trace could not make the folder %FOLDER%
exit /b 3

:logman_failed
call :hex %CODE%
echo logman failed with error %HEX%.
if "%HEX%"=="0x80070005" echo Access denied: run varnel-trace from a Command Prompt started as administrator.
if "%HEX%"=="0x80300002" echo No trace is running: start one with varnel-trace start.
if "%HEX%"=="0x800700B7" echo A trace is already running: stop it with varnel-trace stop first.
exit /b %CODE%

:tracerpt_failed
call :hex %CODE%
echo tracerpt could not decode %ETL% (error %HEX%): send that file as it is.
exit /b %CODE%

rem Sets HEX to %1 as a 32-bit number in hexadecimal, 0x and 8 digits.
:hex
setlocal EnableDelayedExpansion
set /a "n=%~1"
set text=
for /l %%i in (1,1,8) do (
  set /a "d=n & 15, n >>= 4"
  for %%h in (0 1 2 3 4 5 6 7 8 9 A B C D E F) do (
    if !d!==0 set "text=%%h!text!"
    set /a d-=1
  )
)
endlocal & set "HEX=0x%text%"
exit /b 0
