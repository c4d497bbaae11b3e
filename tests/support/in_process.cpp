#include "in_process.h"

#include "launcher/launcher.h"
#include "launcher/stage_machine.h"
#include "platform/syscalls.h"

namespace kesto::test {

namespace {

std::wstring g_launcherPath;
std::wstring g_commandLine;

LPWSTR WINAPI FakeGetCommandLineW() { return &g_commandLine[0]; }

DWORD WINAPI FakeGetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) {
    if (module != nullptr) return ::GetModuleFileNameW(module, buffer, size);
    // Behaves as the system does: a name that does not fit is cut off, and
    // the result is then the buffer's size.
    DWORD length = DWORD(g_launcherPath.size());
    if (size == 0) return 0;
    if (length >= size) {
        g_launcherPath.copy(buffer, size - 1);
        buffer[size - 1] = L'\0';
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    g_launcherPath.copy(buffer, length);
    buffer[length] = L'\0';
    return length;
}

}  // namespace

OverrideScope::OverrideScope() {
    ResetSystemCalls();
    ResetStageOperations();
}

OverrideScope::~OverrideScope() {
    ResetSystemCalls();
    ResetStageOperations();
}

void PretendStartedAs(const std::wstring& launcherPath, const std::wstring& tail) {
    g_launcherPath = launcherPath;
    g_commandLine = L"\"" + launcherPath + L"\"";
    if (!tail.empty()) g_commandLine += L" " + tail;
    g_sys.GetCommandLineW = FakeGetCommandLineW;
    g_sys.GetModuleFileNameW = FakeGetModuleFileNameW;
}

int RunInProcess(const std::wstring& launcherPath, const std::wstring& tail, int show) {
    PretendStartedAs(launcherPath, tail);
    HINSTANCE instance = ::GetModuleHandleW(nullptr);
    int exitCode = RunLauncher(instance, tail.c_str(), show);
    ::UnregisterClassW(kStageWindowClass, instance);
    return exitCode;
}

}  // namespace kesto::test
