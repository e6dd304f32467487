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
for /f "delims=" %%G in ('powershell -NoProfile -Command "[guid]::NewGuid().ToString()"') do set "TempDir=%TEMP%\VoraUninstall_%%G"
mkdir "%TempDir%"
copy /y "%~dp0VoraSetup.exe" "%TempDir%\VoraSetup.exe" >nul

pushd "%TempDir%"
"%TempDir%\VoraSetup.exe" /uninstall
popd

echo.
echo Failed to remove the Vora install directory.
echo Close any programs using that folder and run this script again.
pause