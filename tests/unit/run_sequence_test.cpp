// The run as wWinMain does it: what it takes from the command line and the
// show state, the work folder, the early ends, and the log around the stages.
// The stages themselves are stand-ins that end at once.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "in_process.h"
#include "launcher/exit_codes.h"
#include "launcher/launcher.h"
#include "launcher/run_state.h"
#include "launcher/stage_machine.h"
#include "platform/syscalls.h"
#include "test_support.h"

namespace kesto {
namespace {

// What the stand-in stages did and saw.
std::vector<std::wstring> g_calls;
RunState g_seenByExpansion;  // the run state as ExecCab found it
RunState g_seenByEntry;      // and as ExecBatOrExe found it
DWORD g_entryCode = 4;
bool g_closeWhileCopying = false;

bool EntryStarted() {
    for (const std::wstring& call : g_calls) {
        if (call == L"ExecBatOrExe") return true;
    }
    return false;
}

bool StandInPartialCopy() {
    g_calls.push_back(L"PartialCopy");
    if (g_closeWhileCopying) {
        HWND window = nullptr;
        while ((window = ::FindWindowExW(nullptr, window, kStageWindowClass, nullptr)) != nullptr &&
               ::GetWindowThreadProcessId(window, nullptr) != ::GetCurrentThreadId()) {
        }
        EXPECT_NE(window, nullptr);
        ::PostMessageW(window, WM_CLOSE, 0, 0);
    }
    return true;
}

// Leaves a file in the work folder, as the expansion would.
HANDLE StandInExecCab() {
    g_calls.push_back(L"ExecCab");
    g_seenByExpansion = g_run;
    test::WriteText(g_run.workFolder + L"\\setup.bat", "@exit /b 4\r\n");
    return ::CreateEventW(nullptr, TRUE, TRUE, nullptr);
}

HANDLE StandInExecBatOrExe() {
    g_calls.push_back(L"ExecBatOrExe");
    g_seenByEntry = g_run;
    return ::CreateEventW(nullptr, TRUE, TRUE, nullptr);
}

// Every child has ended by the first tick: the expansion with 0, the entry
// with g_entryCode.
bool StandInPoll(DWORD* exitCode) {
    *exitCode = EntryStarted() ? g_entryCode : 0;
    return false;
}

DWORD WINAPI FailingTempPath(DWORD, LPWSTR) {
    ::SetLastError(ERROR_PATH_NOT_FOUND);
    return 0;
}

LRESULT CALLBACK NoWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return ::DefWindowProcW(window, message, wParam, lParam);
}

class RunSequence : public ::testing::Test {
protected:
    RunSequence() {
        test::MakeFolders(temp_);
        test::UseTempPath(temp_);
        g_stages = {StandInPartialCopy, StandInExecCab, StandInExecBatOrExe, StandInPoll};
        g_calls.clear();
        g_seenByExpansion = RunState();
        g_seenByEntry = RunState();
        g_closeWhileCopying = false;
    }

    std::wstring Launcher() const { return scratch_ / L"kesto.exe"; }
    std::wstring LogOption() const { return L"/LOG:" + scratch_ / L"run"; }
    std::wstring LogFile() const { return scratch_ / L"run-sfxlog.log"; }
    std::wstring NumberedFolder() const { return temp_ + L"\\QzEXF0000"; }

    // The log of a run with LogOption(), given the lines between the work
    // folder and the exit code.
    std::vector<std::wstring> Expected(const std::wstring& workFolder, const std::vector<std::wstring>& stageLines,
                                       DWORD exitCode) const {
        std::vector<std::wstring> lines = {L"LOG mode (" + LogFile() + L").", L"TempFolder: " + workFolder + L"."};
        lines.insert(lines.end(), stageLines.begin(), stageLines.end());
        lines.push_back(L"return " + std::to_wstring(int(exitCode)) + L".");
        return lines;
    }

    test::OverrideScope overrides_;
    test::ScratchFolder scratch_{L"run"};
    std::wstring temp_ = scratch_ / L"temp";
};

TEST_F(RunSequence, NoArgumentsNoLogAndANumberedFolder) {
    // Started with nothing behind the program's name, lpCmdLine may be null
    // or empty; both runs look the same.
    for (bool nullTail : {true, false}) {
        g_calls.clear();
        test::PretendStartedAs(Launcher(), L"");
        HINSTANCE instance = ::GetModuleHandleW(nullptr);
        int exitCode = RunLauncher(instance, nullTail ? nullptr : L"", SW_HIDE);
        ::UnregisterClassW(kStageWindowClass, instance);

        EXPECT_EQ(exitCode, int(g_entryCode));
        EXPECT_TRUE(EntryStarted());
        EXPECT_EQ(g_seenByEntry.forwardedParameters, L"");
        EXPECT_EQ(g_seenByEntry.log, INVALID_HANDLE_VALUE);
        EXPECT_EQ(g_seenByEntry.workFolder, NumberedFolder());
        EXPECT_EQ(g_seenByEntry.extractOnlyFolder, L"");
        EXPECT_EQ(test::ListFolder(scratch_.path()), std::vector<std::wstring>{L"temp"});
        EXPECT_EQ(test::ListFolder(temp_), std::vector<std::wstring>{});
    }
}

TEST_F(RunSequence, EmptyLogValueMeansNoLog) {
    EXPECT_EQ(test::RunInProcess(Launcher(), L"/LOG:"), int(g_entryCode));
    EXPECT_EQ(g_seenByEntry.log, INVALID_HANDLE_VALUE);
    EXPECT_EQ(g_seenByEntry.forwardedParameters, L"/LOG:");
    EXPECT_FALSE(test::Exists(L"-sfxlog.log"));
    EXPECT_EQ(test::ListFolder(scratch_.path()), std::vector<std::wstring>{L"temp"});
}

TEST_F(RunSequence, WholeTailIsForwardedOptionsIncluded) {
    std::wstring tail = LogOption() + L"  -displaymodeoff \"a  b\" /Other:1 ";
    EXPECT_EQ(test::RunInProcess(Launcher(), tail), int(g_entryCode));
    EXPECT_EQ(g_seenByEntry.forwardedParameters, tail);
    EXPECT_NE(g_seenByEntry.log, INVALID_HANDLE_VALUE);
    EXPECT_EQ(test::LogMessages(LogFile()),
              Expected(NumberedFolder(), {L"ExecCab return 0.", L"ExecBatOrExe return 4."}, g_entryCode));
}

TEST_F(RunSequence, HideFlagFromTheShowStateOrTheOption) {
    struct Case {
        int show;
        const wchar_t* tail;
        bool hide;
    };
    // Shown runs last a few seconds each under Wine; two are enough.
    for (const Case& run : {Case{SW_HIDE, L"", true}, Case{SW_HIDE, L"/DisplaymodeOFF", true},
                            Case{SW_SHOWDEFAULT, L"", false}, Case{SW_SHOWNORMAL, L"-DISPLAYMODEOFF", true}}) {
        g_calls.clear();
        g_seenByEntry.hide = !run.hide;
        EXPECT_EQ(test::RunInProcess(Launcher(), run.tail, run.show), int(g_entryCode));
        EXPECT_TRUE(EntryStarted());
        EXPECT_EQ(g_seenByEntry.hide, run.hide) << run.show << " " << test::Narrow(run.tail);
    }
}

TEST_F(RunSequence, WorkFolderThatCannotBeMadeEndsTheRunEarly) {
    g_sys.GetTempPathW = FailingTempPath;
    test::PretendStartedAs(Launcher(), LogOption());
    HINSTANCE instance = ::GetModuleHandleW(nullptr);
    int exitCode = RunLauncher(instance, LogOption().c_str(), SW_HIDE);
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    bool registered = ::GetClassInfoExW(instance, kStageWindowClass, &windowClass) != FALSE;
    ::UnregisterClassW(kStageWindowClass, instance);

    EXPECT_EQ(exitCode, 141950978);
    EXPECT_FALSE(registered);
    EXPECT_EQ(g_calls, std::vector<std::wstring>{});
    EXPECT_EQ(test::LogMessages(LogFile()),
              (std::vector<std::wstring>{L"LOG mode (" + LogFile() + L").",
                                         L"ERROR - Failed to create a temporary folder.", L"return 141950978."}));
}

TEST_F(RunSequence, ClassThatCannotBeRegisteredStillRunsTheEndSequence) {
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = NoWindowProcedure;
    windowClass.hInstance = ::GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kStageWindowClass;
    ASSERT_NE(::RegisterClassExW(&windowClass), 0);

    EXPECT_EQ(test::RunInProcess(Launcher(), LogOption()), int(kExitRegisterClass));
    EXPECT_EQ(g_calls, std::vector<std::wstring>{});
    EXPECT_EQ(test::LogMessages(LogFile()), Expected(NumberedFolder(), {}, kExitRegisterClass));
    EXPECT_EQ(test::ListFolder(temp_), std::vector<std::wstring>{});
}

TEST_F(RunSequence, NormalRunDeletesItsFolderAfterwards) {
    EXPECT_EQ(test::RunInProcess(Launcher(), LogOption()), int(g_entryCode));
    EXPECT_EQ(g_seenByExpansion.workFolder, NumberedFolder());
    EXPECT_EQ(test::LogMessages(LogFile()),
              Expected(NumberedFolder(), {L"ExecCab return 0.", L"ExecBatOrExe return 4."}, g_entryCode));
    EXPECT_FALSE(test::Exists(NumberedFolder()));
    EXPECT_EQ(test::ListFolder(temp_), std::vector<std::wstring>{});
}

TEST_F(RunSequence, ExtractOnlyRunKeepsItsFolderAndLogsItsFullPath) {
    // A relative folder is taken from the current directory.
    wchar_t previous[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(::SetCurrentDirectoryW(scratch_.path().c_str()));
    int exitCode = test::RunInProcess(Launcher(), LogOption() + L" /ExtractOnlyMode:out");
    ::SetCurrentDirectoryW(previous);

    std::wstring folder = scratch_ / L"out";
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(g_seenByExpansion.extractOnlyFolder, L"out");
    EXPECT_EQ(g_seenByExpansion.workFolder, folder);
    EXPECT_FALSE(EntryStarted());
    EXPECT_EQ(test::LogMessages(LogFile()), Expected(folder, {L"ExecCab return 0."}, 0));
    EXPECT_TRUE(test::Exists(folder + L"\\setup.bat"));
    EXPECT_EQ(test::ListFolder(temp_), std::vector<std::wstring>{});
}

TEST_F(RunSequence, EachRunStartsFromAFreshState) {
    // The first run leaves exit code 0 and an extract-only folder behind.
    EXPECT_EQ(test::RunInProcess(Launcher(), L"/ExtractOnlyMode:" + scratch_ / L"out"), 0);
    // Closed before any stage set a result, the next run returns the initial code.
    g_calls.clear();
    g_closeWhileCopying = true;
    EXPECT_EQ(test::RunInProcess(Launcher(), L""), int(kExitInitial));
    EXPECT_EQ(g_calls, std::vector<std::wstring>{L"PartialCopy"});
    // And the one after that is a normal run again.
    g_calls.clear();
    g_closeWhileCopying = false;
    EXPECT_EQ(test::RunInProcess(Launcher(), L""), int(g_entryCode));
    EXPECT_EQ(g_seenByEntry.extractOnlyFolder, L"");
    EXPECT_EQ(g_seenByEntry.workFolder, NumberedFolder());
}

}  // namespace
}  // namespace kesto
