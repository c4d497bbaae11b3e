@set /p code=<"%~dp0data\code.txt"
@exit /b %code%
