#include "launcher/power_request.h"

#include <windows.h>

#include <cstring>
#include <memory>
#include <new>

#include "payload/package_format.h"
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

constexpr size_t kRequestCount = sizeof(kRequestFiles) / sizeof(kRequestFiles[0]);

// Whether a name of the cabinet's file table is the request file's name,
// without regard to the case of ASCII letters. A name with a folder in it
// lands in a subfolder, and is none.
bool IsRequestName(const unsigned char* name, long length, const wchar_t* request) {
    ++request;  // past its leading backslash
    if (lstrlenW(request) != length) return false;
    for (long i = 0; i < length; ++i) {
        wchar_t a = name[i], b = request[i];
        if (a >= L'A' && a <= L'Z') a += L'a' - L'A';
        if (a != b) return false;
    }
    return true;
}

// Which request files (a bit per entry of kRequestFiles) the cabinet lists at
// its top level. An unreadable cabinet lists none.
unsigned RequestsInCabinet(const std::wstring& path) {
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    constexpr DWORD kBufferSize = 4096;
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[kBufferSize]);
    DWORD have = 0;
    CabinetFiles files;
    if (!file.valid() || !buffer || !::ReadFile(file.get(), buffer.get(), kCabinetFilesEnd, &have, nullptr) ||
        have != kCabinetFilesEnd || !ReadCabinetFiles(buffer.get(), files))
        return 0;
    LARGE_INTEGER offset;
    offset.QuadPart = files.offset;
    if (!::SetFilePointerEx(file.get(), offset, nullptr, FILE_BEGIN)) return 0;
    unsigned listed = 0;
    DWORD at = 0;
    have = 0;
    for (uint32_t entry = 0; entry < files.count; ++entry) {
        if (have - at < kCabinetEntryLargest) {  // keeps a whole entry at hand
            std::memmove(buffer.get(), buffer.get() + at, have - at);
            have -= at;
            at = 0;
            DWORD read = 0;
            if (::ReadFile(file.get(), buffer.get() + have, kBufferSize - have, &read, nullptr)) have += read;
        }
        const long length = CabinetEntryNameLength(buffer.get() + at, have - at);
        if (length < 0) break;
        for (size_t i = 0; i < kRequestCount; ++i) {
            if (IsRequestName(buffer.get() + at + kCabinetEntryFixed, length, kRequestFiles[i].name)) listed |= 1u << i;
        }
        at += DWORD(kCabinetEntryFixed + length + 1);
    }
    return listed;
}

}  // namespace

PowerRequest CheckPowerRequest(const std::wstring& folder, bool fromCabinet) {
    const unsigned listed = fromCabinet ? RequestsInCabinet(folder + L"\\MyData.cab") : ~0u;
    for (size_t i = 0; i < kRequestCount; ++i) {
        if ((listed & (1u << i)) != 0 &&
            ::GetFileAttributesW((folder + kRequestFiles[i].name).c_str()) != INVALID_FILE_ATTRIBUTES)
            return kRequestFiles[i].request;
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
