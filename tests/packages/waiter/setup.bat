@echo off
rem Says that it started, then waits until release.txt appears beside it,
rem and ends with 5.
>"%~dp0started.txt" echo.started
:wait
if not exist "%~dp0release.txt" goto wait
exit /b 5
