#include "log/log.h"

#include <windows.h>

#include <cstdarg>
#include <vector>

#include "launcher/run_state.h"
#include "log/format.h"
#include "log/log_lock.h"
#include "platform/guarded_file.h"
#include "platform/private_sa.h"
#include "platform/syscalls.h"

namespace kesto {

namespace {

void WriteText(const wchar_t* text) {
    DWORD written = 0;
    ::WriteFile(g_run.log, text, DWORD(lstrlenW(text)) * sizeof(wchar_t), &written, nullptr);
}

bool LogIsOpen() { return g_run.log != INVALID_HANDLE_VALUE; }

// A file that was at the log's name before is appended to only when one of
// the private list's trustees owns it: otherwise another user could have
// made it to read the log.
bool OwnedByTrustee(HANDLE file, const CPrivateSA& trustees) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (g_sys.GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                              &descriptor) != ERROR_SUCCESS)
        return false;
    bool trusted = owner != nullptr && trustees.IsTrustee(owner);
    g_sys.LocalFree(descriptor);
    return trusted;
}

}  // namespace

void LogOpen(const std::wstring& fileName) {
    if (!LogIsOpen()) {
        // The log holds the whole command line, and installers take
        // passwords and licence keys as arguments: a new log is private to
        // the launcher's user, the local system account and the
        // Administrators. Without that list there is no log at all.
        CPrivateSA security;
        UniqueFile file;
        bool existed = false;
        // No link, no second name (a hard link), nothing but a file on disk:
        // otherwise the launcher, perhaps as the local system account, would
        // write the log into whatever file someone pointed it at.
        if (security.Build(CPrivateSA::kFile) &&
            OpenGuardedFile(fileName, GENERIC_READ | GENERIC_WRITE, security.Attributes(), file, existed) &&
            (!existed || OwnedByTrustee(file.get(), security)))
            g_run.log = file.release();
        if (!LogIsOpen()) {
            LogMessage(L"LOG mode (%s).", fileName.c_str());  // writes nothing: no log
            return;
        }
        // The whole 64-bit end position: a file whose size is a multiple of
        // 4 GiB must not be taken for an empty one and get a second mark.
        LARGE_INTEGER end = {};
        LARGE_INTEGER zero = {};
        if (::SetFilePointerEx(g_run.log, zero, &end, FILE_END) && end.QuadPart == 0) {
            static const BYTE kByteOrderMark[2] = {0xFF, 0xFE};
            DWORD written = 0;
            ::WriteFile(g_run.log, kByteOrderMark, sizeof(kByteOrderMark), &written, nullptr);
        }
    }
    {
        CLogOutPxCollision lock;
        lock.Lock();
        SYSTEMTIME now;
        g_sys.GetLocalTime(&now);
        wchar_t banner[256];
        FormatText(banner, 256, L"********** %s - %04d/%02d/%02d - %02d:%02d:%02d **********", L"Kesto", now.wYear,
                   now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);
        WriteText(banner);
        WriteText(L"\r\n");
    }
    LogMessage(L"LOG mode (%s).", fileName.c_str());
}

void LogMessage(const wchar_t* format, ...) {
    if (!LogIsOpen()) return;
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    size_t length = FormatTextV(nullptr, 0, format, measure);
    va_end(measure);
    if (length == 0) {
        LogLine(format);
    } else {
        std::vector<wchar_t> text(length + 1);
        FormatTextV(text.data(), text.size(), format, args);
        LogLine(text.data());
    }
    va_end(args);
}

void LogLine(const wchar_t* text) {
    if (!LogIsOpen()) return;
    CLogOutPxCollision lock;
    lock.Lock();  // bounded; the line is written whether or not it was taken
    SYSTEMTIME now;
    g_sys.GetLocalTime(&now);
    wchar_t prefix[100];
    FormatText(prefix, 100, L"%04d/%02d/%02d %02d:%02d:%02d - ", now.wYear, now.wMonth, now.wDay, now.wHour,
               now.wMinute, now.wSecond);
    WriteText(prefix);
    WriteText(text);
    WriteText(L"\r\n");
}

void LogClose() {
    if (LogIsOpen()) {
        ::CloseHandle(g_run.log);
        g_run.log = INVALID_HANDLE_VALUE;
    }
}

}  // namespace kesto
