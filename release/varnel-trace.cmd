@echo off
rem Records Varnel's trace events with the tools Windows ships (logman,
rem tracerpt), for a support call. Run it from a Command Prompt started as
rem administrator ("Run as administrator"): only an administrator may start
rem or stop a trace session.
rem   varnel-trace start   starts recording into varnel-trace.etl on the desktop
rem   varnel-trace stop    stops it and decodes it into varnel-trace.xml beside it
rem The provider is "Varnel"; logman names it by its id, which Windows
rem derives from that name.
setlocal
set SESSION=Varnel
set PROVIDER={8ed551bc-4295-5cde-39f3-e77dafbfa159}
set OUT=%USERPROFILE%\Desktop\varnel-trace
if /i "%~1"=="start" goto start
if /i "%~1"=="stop" goto stop
echo Usage: varnel-trace start ^| stop
exit /b 2

:start
rem Every keyword (0xffffffffffffffff), every level up to 5 (verbose).
logman start %SESSION% -p %PROVIDER% 0xffffffffffffffff 5 -o "%OUT%.etl" -ets
if errorlevel 1 goto failed
echo Recording. Do what fails, then run: varnel-trace stop
exit /b 0

:stop
logman stop %SESSION% -ets
if errorlevel 1 goto failed
tracerpt "%OUT%.etl" -o "%OUT%.xml" -of XML -y
echo Trace: %OUT%.etl
echo Decoded: %OUT%.xml
exit /b 0

:failed
echo logman failed. Start the Command Prompt as administrator; "stop" needs a started trace.
exit /b 1
