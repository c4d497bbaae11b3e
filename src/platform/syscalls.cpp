#include "platform/syscalls.h"

namespace kesto {

namespace {
const SystemCalls kSystemFunctions = {
    ::ExitWindowsEx,
    ::OpenProcessToken,
    ::LookupPrivilegeValueW,
    ::AdjustTokenPrivileges,
    ::CreateProcessW,
    ::ShellExecuteExW,
    ::SHGetKnownFolderPath,
    ::CreateSemaphoreW,
    ::WaitForSingleObject,
    ::Sleep,
    ::LocalAlloc,
    ::LocalFree,
    ::GetCommandLineW,
    ::GetModuleFileNameW,
    ::GetTempPathW,
    ::GetLocalTime,
    ::SetTimer,
    ::ReadFile,
    ::CreateWindowExW,
};
}  // namespace

SystemCalls g_sys = kSystemFunctions;

void ResetSystemCalls() { g_sys = kSystemFunctions; }

}  // namespace kesto
