#include "launcher/power_request.h"

#include <windows.h>

#include "platform/handles.h"
#include "platform/syscalls.h"

namespace kesto {

namespace {

struct RequestFile {
    const wchar_t* name;
    PowerRequest request;
    UINT flags;
};

const RequestFile kRequestFiles[] = {
    {L"\\indicatereboot.dat", PowerRequest::Reboot, EWX_REBOOT},
    {L"\\indicateshutdown.dat", PowerRequest::Shutdown, EWX_SHUTDOWN},
    {L"\\indicatefastshutdown.dat", PowerRequest::FastShutdown, EWX_SHUTDOWN | EWX_HYBRID_SHUTDOWN},
};

// Planned, application, maintenance.
constexpr DWORD kShutdownReason = SHTDN_REASON_FLAG_PLANNED | SHTDN_REASON_MAJOR_APPLICATION |
                                  SHTDN_REASON_MINOR_MAINTENANCE;

}  // namespace

PowerRequest CheckPowerRequest(const std::wstring& folder) {
    for (const RequestFile& file : kRequestFiles) {
        if (::GetFileAttributesW((folder + file.name).c_str()) != INVALID_FILE_ATTRIBUTES) return file.request;
    }
    return PowerRequest::None;
}

void ExecPowerRequest(PowerRequest request) {
    if (request == PowerRequest::None) return;
    UINT flags = 0;
    for (const RequestFile& file : kRequestFiles) {
        if (file.request == request) flags = file.flags;
    }

    UniqueHandle token;
    if (!g_sys.OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.put())) return;

    TOKEN_PRIVILEGES enable = {};
    enable.PrivilegeCount = 1;
    g_sys.LookupPrivilegeValueW(nullptr, SE_SHUTDOWN_NAME, &enable.Privileges[0].Luid);
    enable.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    TOKEN_PRIVILEGES previous = {};
    DWORD previousLength = 0;
    g_sys.AdjustTokenPrivileges(token.get(), FALSE, &enable, sizeof(previous), &previous, &previousLength);
    // AdjustTokenPrivileges succeeds also when it could not enable the
    // privilege; only a last error of 0 says that it is enabled.
    if (::GetLastError() == ERROR_SUCCESS) {
        g_sys.ExitWindowsEx(flags, kShutdownReason);
        g_sys.AdjustTokenPrivileges(token.get(), FALSE, &previous, 0, nullptr, nullptr);
    }
}

}  // namespace kesto
