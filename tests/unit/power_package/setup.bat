@echo off
rem Leaves the power request files named by its arguments in its own folder.
:next
if "%~1"=="" exit /b 0
if "%~1"=="reboot" echo x> "%~dp0indicatereboot.dat"
if "%~1"=="shutdown" echo x> "%~dp0indicateshutdown.dat"
if "%~1"=="fastshutdown" echo x> "%~dp0indicatefastshutdown.dat"
if "%~1"=="shutdown-folder" mkdir "%~dp0indicateshutdown.dat"
shift
goto next
