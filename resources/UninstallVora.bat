@echo off
setlocal

rem Every command by its full path in System32, written in by setup: a
rem net.com or powershell.exe in the caller's current folder never runs.
"@SYSTEM32@\net.exe" session >nul 2>&1
rem "if errorlevel" reads the exit code itself; the errorlevel variable would
rem take one of that name from the caller's environment.
if not errorlevel 1 goto elevated

echo Requesting administrator privileges...
rem The consent prompt names the signed setup itself, and no command
rem processor of the caller's runs elevated.
"@SYSTEM32@\WindowsPowerShell\v1.0\powershell.exe" -NoProfile -Command "Start-Process -FilePath '%~dp0VoraSetup.exe' -ArgumentList '/uninstall' -WorkingDirectory '@SYSTEM32@' -Verb RunAs" 2>nul
if errorlevel 1 (
    echo.
    echo Failed to elevate. You may have clicked "No" on the UAC prompt, or PowerShell could not launch the process.
    echo.
    pause
)
exit /b

:elevated
rem Setup moves its own file out of this folder before removing it, so it
rem runs from here; nothing is taken from the caller's environment.
if not exist "%~dp0VoraSetup.exe" goto nocopy
cd /d "@SYSTEM32@"

rem One block, read whole before it runs: the uninstall deletes this script.
(
    "%~dp0VoraSetup.exe" /uninstall
)

echo.
echo Failed to remove the Vora install directory.
echo Close any programs using that folder and run this script again.
pause
exit /b 1

:nocopy
echo.
echo Vora setup is missing from this folder. Nothing was uninstalled.
pause
exit /b 1