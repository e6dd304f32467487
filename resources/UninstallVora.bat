@echo off
setlocal

net session >nul 2>&1
if %errorlevel% == 0 goto elevated

echo Requesting administrator privileges...
powershell -NoProfile -Command "Start-Process -FilePath '%~f0' -Verb RunAs" 2>nul
if errorlevel 1 (
    echo.
    echo Failed to elevate. You may have clicked "No" on the UAC prompt, or PowerShell could not launch the process.
    echo.
    pause
)
exit /b

:elevated
rem The copy runs elevated, so it goes to a new folder only administrators
rem can write to: a user's temporary folder could be raced or planted.
set "TempDir="
for /f "delims=" %%G in ('powershell -NoProfile -Command "[guid]::NewGuid().ToString()"') do set "TempDir=%ProgramFiles%\VoraUninstall_%%G"
if not defined TempDir goto nocopy
mkdir "%TempDir%" 2>nul
if errorlevel 1 goto nocopy
copy /y "%~dp0VoraSetup.exe" "%TempDir%\VoraSetup.exe" >nul
if errorlevel 1 goto copyfailed

rem One block, read whole before it runs: the uninstall deletes this script.
pushd "%TempDir%"
(
    "%TempDir%\VoraSetup.exe" /uninstall
    popd
    rmdir /s /q "%TempDir%"
)

echo.
echo Failed to remove the Vora install directory.
echo Close any programs using that folder and run this script again.
pause
exit /b 1

:copyfailed
rmdir /s /q "%TempDir%" 2>nul
:nocopy
echo.
echo Failed to copy Vora setup to a protected folder. Nothing was uninstalled.
pause
exit /b 1