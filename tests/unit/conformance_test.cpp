// The launcher's exit codes whose failures Wine cannot produce for real, each
// in a whole run inside this program: the real stages on a real package,
// with only the one platform call that fails chosen by the test. The whole
// log of each run is checked word for word. (The rows Wine can produce are
// run for real by the end-to-end tests; tests/CONFORMANCE.md lists them all.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "in_process.h"
#include "launcher/run_state.h"
#include "platform/syscalls.h"
#include "test_support.h"

namespace kesto {
namespace {

using test::ScratchFolder;

constexpr DWORD kErrorCancelled = ERROR_CANCELLED;  // 1223: the user said no to elevation

DWORD g_createProcessError = 0;   // the error the entry's direct start fails with
DWORD g_shellExecuteError = 0;    // 0: the shell start goes through
std::vector<std::wstring> g_shellVerbs;

HWND WINAPI NoWindow(DWORD, LPCWSTR, LPCWSTR, DWORD, int, int, int, int, HWND, HMENU, HINSTANCE, LPVOID) {
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

HRESULT WINAPI NoSystemFolder(REFKNOWNFOLDERID, DWORD, HANDLE, PWSTR* path) {
    *path = nullptr;
    return E_FAIL;
}

BOOL WINAPI RefusedStart(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCWSTR,
                         LPSTARTUPINFOW, LPPROCESS_INFORMATION) {
    ::SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

// cmd.exe starts for real; the package's program is refused with the chosen
// error, as the system refuses a program that needs elevation.
BOOL WINAPI EntryRefused(LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES process,
                         LPSECURITY_ATTRIBUTES thread, BOOL inherit, DWORD flags, LPVOID environment,
                         LPCWSTR directory, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION information) {
    if (std::wstring(commandLine).find(L"recorder.exe") != std::wstring::npos) {
        ::SetLastError(g_createProcessError);
        return FALSE;
    }
    return ::CreateProcessW(application, commandLine, process, thread, inherit, flags, environment, directory,
                            startup, information);
}

// The elevated start through the shell: refused, or made without the verb
// (Wine's token is elevated already).
BOOL WINAPI ElevatedStart(SHELLEXECUTEINFOW* info) {
    g_shellVerbs.push_back(info->lpVerb == nullptr ? L"" : info->lpVerb);
    if (g_shellExecuteError != 0) {
        ::SetLastError(g_shellExecuteError);
        return FALSE;
    }
    SHELLEXECUTEINFOW plain = *info;
    plain.lpVerb = nullptr;
    BOOL started = ::ShellExecuteExW(&plain);
    info->hProcess = plain.hProcess;
    return started;
}

class Conformance : public ::testing::Test {
protected:
    void SetUp() override {
        g_createProcessError = 0;
        g_shellExecuteError = 0;
        g_shellVerbs.clear();
        test::UseTempPath(temp_.path());
        ::SetEnvironmentVariableW(L"KESTO_RECORD_DIR", records_.path().c_str());
    }

    // A whole run of a launcher file made from a test package.
    DWORD Run(const std::wstring& package, const std::wstring& arguments = L"") {
        std::string cabinet = test::ReadBytes(test::TestData(L"packages\\" + package + L".cab"));
        EXPECT_FALSE(cabinet.empty());
        std::wstring launcher = scratch_ / L"update.exe";
        EXPECT_TRUE(test::WriteBytes(launcher, test::LauncherBytes(std::string(64, '\0'), cabinet)));
        std::wstring tail = L"/LOG:" + logBase_ + (arguments.empty() ? L"" : L" " + arguments);
        return DWORD(test::RunInProcess(launcher, tail));
    }

    std::vector<std::wstring> Messages() const { return test::LogMessages(logBase_ + L"-sfxlog.log"); }
    std::wstring Work() const { return g_run.workFolder; }
    std::wstring ExpansionCommand() const {
        return L"CreateProcess Cmd: " + test::ExpansionCommandLine(Work()) + L".";
    }

    test::OverrideScope overrides_;
    ScratchFolder scratch_{L"conformance"};
    ScratchFolder temp_{L"conformance-temp"};
    ScratchFolder records_{L"conformance-records"};
    std::wstring logBase_ = scratch_ / L"run";
};

TEST_F(Conformance, StageWindowNotCreated_141950980) {
    g_sys.CreateWindowExW = NoWindow;
    EXPECT_EQ(Run(L"bat7"), 141950980u);
    std::vector<std::wstring> expected = {
        L"LOG mode (" + logBase_ + L"-sfxlog.log).",
        L"TempFolder: " + Work() + L".",
        L"return 141950980.",
    };
    EXPECT_EQ(Messages(), expected);
    EXPECT_FALSE(test::Exists(Work()));
}

TEST_F(Conformance, NoSystemFolderForTheExpansion_141950982) {
    g_sys.SHGetKnownFolderPath = NoSystemFolder;
    EXPECT_EQ(Run(L"bat7"), 141950982u);
    std::vector<std::wstring> expected = {
        L"LOG mode (" + logBase_ + L"-sfxlog.log).",
        L"TempFolder: " + Work() + L".",
        L"Failed to ExecCab.",
        L"return 141950982.",
    };
    EXPECT_EQ(Messages(), expected);
}

TEST_F(Conformance, ExpansionCannotStart_141950982) {
    g_sys.CreateProcessW = RefusedStart;
    EXPECT_EQ(Run(L"bat7"), 141950982u);
    std::vector<std::wstring> expected = {
        L"LOG mode (" + logBase_ + L"-sfxlog.log).",
        L"TempFolder: " + Work() + L".",
        ExpansionCommand(),
        L"CreateProcess Dir: " + Work() + L".",
        L"Failed to CreateProcess (5).",
        L"Failed to ExecCab.",
        L"return 141950982.",
    };
    EXPECT_EQ(Messages(), expected);
}

TEST_F(Conformance, ElevationRefusedByTheUser_141950984) {
    g_sys.CreateProcessW = EntryRefused;
    g_sys.ShellExecuteExW = ElevatedStart;
    g_createProcessError = 740;
    g_shellExecuteError = kErrorCancelled;
    EXPECT_EQ(Run(L"exe_only", L"a \"b c\""), 141950984u);
    std::wstring program = Work() + L"\\recorder.exe";
    std::wstring tail = L"/LOG:" + logBase_ + L" a \"b c\"";
    std::vector<std::wstring> expected = {
        L"LOG mode (" + logBase_ + L"-sfxlog.log).",
        L"TempFolder: " + Work() + L".",
        ExpansionCommand(),
        L"CreateProcess Dir: " + Work() + L".",
        L"ExecCab return 0.",
        L"CreateProcess Cmd: \"" + program + L"\" " + tail + L".",
        L"CreateProcess Dir: " + Work() + L".",
        L"Failed to CreateProcess (740).",
        L"ShellExecuteEx Path:\"" + program + L"\".",
        L"ShellExecuteEx Param:" + tail + L".",
        L"ShellExecuteEx Verb:runas.",
        L"ShellExecuteEx Dir:" + Work() + L".",
        L"  Error - Exec failed (1223).",
        L"Failed to ExecBatOrExe.",
        L"return 141950984.",
    };
    EXPECT_EQ(Messages(), expected);
    EXPECT_EQ(g_shellVerbs, std::vector<std::wstring>{L"runas"});
}

TEST_F(Conformance, ElevatedEntryStartedThroughTheShellGivesItsCode) {
    g_sys.CreateProcessW = EntryRefused;
    g_sys.ShellExecuteExW = ElevatedStart;
    g_createProcessError = 740;
    EXPECT_EQ(Run(L"exe_only"), 9u);
    std::vector<std::wstring> messages = Messages();
    ASSERT_GE(messages.size(), 3u);
    EXPECT_EQ(messages[messages.size() - 3], L"ShellExecuteEx Dir:" + Work() + L".");
    EXPECT_EQ(messages[messages.size() - 2], L"ExecBatOrExe return 9.");
    EXPECT_EQ(messages.back(), L"return 9.");
    EXPECT_TRUE(test::Exists(records_ / L"recorder.exe.txt"));
    EXPECT_EQ(g_shellVerbs, std::vector<std::wstring>{L"runas"});
}

TEST_F(Conformance, OtherStartFailureOfTheEntryIsNotRetried_141950984) {
    g_sys.CreateProcessW = EntryRefused;
    g_sys.ShellExecuteExW = ElevatedStart;
    g_createProcessError = ERROR_BAD_EXE_FORMAT;
    EXPECT_EQ(Run(L"exe_only"), 141950984u);
    std::vector<std::wstring> messages = Messages();
    ASSERT_GE(messages.size(), 3u);
    EXPECT_EQ(messages[messages.size() - 3], L"Failed to CreateProcess (193).");
    EXPECT_EQ(messages[messages.size() - 2], L"Failed to ExecBatOrExe.");
    EXPECT_EQ(messages.back(), L"return 141950984.");
    EXPECT_TRUE(g_shellVerbs.empty());
}

}  // namespace
}  // namespace kesto
