#pragma once
#include <windows.h>

namespace kesto {

// Starts path directly, its command line the quoted path and, when there are
// parameters, one blank and the parameters as they are. directory null or
// empty: the folder of path. On failure logs the error, stores it through
// error when given, and returns null. The caller owns the returned handle.
HANDLE ExecCreateProcess(const wchar_t* path, const wchar_t* parameters, const wchar_t* directory, DWORD* error);

// Starts path through the shell, with verb when one is given ("runas"), shown
// hidden when the run's hide flag is set. Returns the process handle or null.
HANDLE ExecShellExecuteEx(const wchar_t* path, const wchar_t* parameters, const wchar_t* verb);

// Looks once, without waiting, at the run's child process. True while it runs
// (handling any waiting messages on the way); false once it has ended, with
// its exit code stored through exitCode when it could be read.
bool PollChildProcess(DWORD* exitCode);

}  // namespace kesto
