#pragma once
// Runs of the launcher's code inside a test program, with chosen results of
// the platform calls and stages.
#include <windows.h>

#include <string>

namespace kesto::test {

// Puts the system's own functions and the real stages back, all but
// ExitWindowsEx: no test may ask for a restart or shutdown (under Wine a real
// call ends every other program in the prefix), so in test programs it stays
// a stand-in that fails the test. Every test program that links this support
// starts so.
void ResetForTest();

// Calls ResetForTest when it is made and when it goes, so that no test leaves
// its overrides to the next.
class OverrideScope {
public:
    OverrideScope();
    ~OverrideScope();
    OverrideScope(const OverrideScope&) = delete;
    OverrideScope& operator=(const OverrideScope&) = delete;
};

// Makes the launcher's code see launcherPath as its own file
// (GetModuleFileNameW of the main module) and "launcherPath" tail as the
// process command line (GetCommandLineW). Lasts until the next call or until
// an OverrideScope ends.
void PretendStartedAs(const std::wstring& launcherPath, const std::wstring& tail);

// Makes GetTempPathW report folder, with a trailing backslash, as the system
// reports a temporary path, so that work folders land in a test's own scratch
// folder. Lasts until the next call or until an OverrideScope ends.
void UseTempPath(const std::wstring& folder);
// The same, for the answers the system is not expected to give: GetTempPathW
// writes text as it stands, cut to the caller's buffer, and returns result
// whatever it wrote.
void UseTempPath(const std::wstring& text, DWORD result);

// The whole run as wWinMain does it, as if started as launcherPath with the
// command-line tail, and the window class unregistered afterwards so that the
// next run in this process can register it again.
int RunInProcess(const std::wstring& launcherPath, const std::wstring& tail, int show = SW_HIDE);

}  // namespace kesto::test
