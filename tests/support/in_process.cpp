#include "in_process.h"

#include <gtest/gtest.h>

#include "launcher/launcher.h"
#include "launcher/stage_machine.h"
#include "platform/syscalls.h"

namespace kesto::test {

namespace {

std::wstring g_launcherPath;
std::wstring g_commandLine;
std::wstring g_tempPath;

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

bool g_tempResultChosen = false;
DWORD g_tempResult = 0;

DWORD WINAPI FakeGetTempPathW(DWORD size, LPWSTR buffer) {
    // As the system: the size needed, terminator included, when it does not
    // fit, and nothing written; else the length written.
    bool fits = g_tempPath.size() < size;
    if (!g_tempResultChosen && !fits) return DWORD(g_tempPath.size() + 1);
    if (size > 0) {
        size_t length = fits ? g_tempPath.size() : size - 1;
        g_tempPath.copy(buffer, length);
        buffer[length] = L'\0';
    }
    return g_tempResultChosen ? g_tempResult : DWORD(g_tempPath.size());
}

BOOL WINAPI RefusedExitWindowsEx(UINT, DWORD) {
    ADD_FAILURE() << "a test asked for a restart or shutdown";
    ::SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

class RefuseShutdowns : public ::testing::Environment {
    void SetUp() override { ResetForTest(); }
};
::testing::Environment* const g_refuseShutdowns = ::testing::AddGlobalTestEnvironment(new RefuseShutdowns);

}  // namespace

void ResetForTest() {
    // The libraries are loaded as the stub loads them; afterwards this only
    // puts the system's functions back.
    if (!LoadSystemCalls()) ADD_FAILURE() << "the system libraries could not be loaded";
    ResetStageOperations();
    g_sys.ExitWindowsEx = RefusedExitWindowsEx;
}

OverrideScope::OverrideScope() { ResetForTest(); }

OverrideScope::~OverrideScope() { ResetForTest(); }

void PretendStartedAs(const std::wstring& launcherPath, const std::wstring& tail) {
    g_launcherPath = launcherPath;
    g_commandLine = L"\"" + launcherPath + L"\"";
    if (!tail.empty()) g_commandLine += L" " + tail;
    g_sys.GetCommandLineW = FakeGetCommandLineW;
    g_sys.GetModuleFileNameW = FakeGetModuleFileNameW;
}

void UseTempPath(const std::wstring& folder) {
    g_tempPath = folder;
    if (g_tempPath.empty() || g_tempPath.back() != L'\\') g_tempPath += L'\\';
    g_tempResultChosen = false;
    g_sys.GetTempPathW = FakeGetTempPathW;
}

void UseTempPath(const std::wstring& text, DWORD result) {
    g_tempPath = text;
    g_tempResultChosen = true;
    g_tempResult = result;
    g_sys.GetTempPathW = FakeGetTempPathW;
}

int RunInProcess(const std::wstring& launcherPath, const std::wstring& tail, int show) {
    PretendStartedAs(launcherPath, tail);
    HINSTANCE instance = ::GetModuleHandleW(nullptr);
    int exitCode = RunLauncher(instance, tail.c_str(), show);
    ::UnregisterClassW(kStageWindowClass, instance);
    return exitCode;
}

}  // namespace kesto::test
