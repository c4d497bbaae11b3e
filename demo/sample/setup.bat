@echo off
rem The sample package's entry: shows what it was given, then ends with 3.
set out=C:\kesto-demo\output.txt
echo Hello from the sample package.> "%out%"
echo Arguments: %*>> "%out%"
echo Current folder: %CD%>> "%out%"
echo Files beside me:>> "%out%"
dir /b /s "%~dp0" >> "%out%"
type "%~dp0docs\readme.txt" >> "%out%"
for %%f in ("%~dp0installer.bin") do echo installer.bin: %%~zf bytes>> "%out%"
exit /b 3
