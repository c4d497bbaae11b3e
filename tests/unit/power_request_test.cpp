// Restart and shutdown requests left by an entry, in whole runs inside this
// program. ExitWindowsEx and the token calls are recorded, never made: a real
// ExitWindowsEx under Wine ends every other program in the prefix.
#include <gtest/gtest.h>

#include <vector>

#include "in_process.h"
#include "launcher/power_request.h"
#include "launcher/run_state.h"
#include "platform/syscalls.h"
#include "test_support.h"

namespace kesto {
namespace {

using test::ScratchFolder;

struct ShutdownCall {
    UINT flags;
    DWORD reason;
    bool workFolderExisted;
    LONGLONG logSize;  // how much of the log was written when the call came
};

// What the fakes saw, and how they answer.
struct Recorder {
    bool tokenOpens = true;
    DWORD adjustError = ERROR_SUCCESS;  // ERROR_NOT_ALL_ASSIGNED: privilege not held
    DWORD tokenAccess = 0;
    std::wstring privilegeName;
    std::vector<TOKEN_PRIVILEGES> enabled;  // first AdjustTokenPrivileges per request
    std::vector<DWORD> enableBufferLengths;
    int restores = 0;                       // AdjustTokenPrivileges putting the state back
    bool restoreArgumentsRight = true;
    std::vector<ShutdownCall> shutdowns;
};
Recorder g_recorder;

constexpr LUID kShutdownLuid = {19, 0};

BOOL WINAPI FakeOpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
    // The work folder's access list reads the token's user: that open only
    // queries, and goes to the system.
    if (access == TOKEN_QUERY) return ::OpenProcessToken(process, access, token);
    g_recorder.tokenAccess = access;
    if (!g_recorder.tokenOpens) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    *token = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);  // any handle that closes
    return TRUE;
}

BOOL WINAPI FakeLookupPrivilegeValueW(LPCWSTR system, LPCWSTR name, PLUID luid) {
    if (system == nullptr) g_recorder.privilegeName = name;
    *luid = kShutdownLuid;
    return TRUE;
}

BOOL WINAPI FakeAdjustTokenPrivileges(HANDLE, BOOL disableAll, PTOKEN_PRIVILEGES newState, DWORD bufferLength,
                                      PTOKEN_PRIVILEGES previousState, PDWORD returnLength) {
    if (bufferLength == 0) {
        ++g_recorder.restores;
        g_recorder.restoreArgumentsRight = g_recorder.restoreArgumentsRight && !disableAll && newState != nullptr &&
                                           previousState == nullptr && returnLength == nullptr;
        ::SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    EXPECT_FALSE(disableAll);
    EXPECT_NE(previousState, nullptr);
    EXPECT_NE(returnLength, nullptr);
    g_recorder.enabled.push_back(*newState);
    g_recorder.enableBufferLengths.push_back(bufferLength);
    if (previousState != nullptr) *previousState = TOKEN_PRIVILEGES{};
    ::SetLastError(g_recorder.adjustError);
    return TRUE;  // as the system: success even when nothing was enabled
}

BOOL WINAPI FakeExitWindowsEx(UINT flags, DWORD reason) {
    LARGE_INTEGER size = {};
    if (g_run.log != INVALID_HANDLE_VALUE) ::GetFileSizeEx(g_run.log, &size);
    g_recorder.shutdowns.push_back({flags, reason, test::Exists(g_run.workFolder), size.QuadPart});
    return TRUE;
}

class PowerRequestRun : public ::testing::Test {
protected:
    void SetUp() override {
        g_recorder = Recorder();
        g_sys.OpenProcessToken = FakeOpenProcessToken;
        g_sys.LookupPrivilegeValueW = FakeLookupPrivilegeValueW;
        g_sys.AdjustTokenPrivileges = FakeAdjustTokenPrivileges;
        g_sys.ExitWindowsEx = FakeExitWindowsEx;
        // The work folder goes under this test's own temporary path.
        test::UseTempPath(temp_.path());
        // A launcher file: no image to speak of, the marker, the package.
        std::string cabinet = test::ReadBytes(test::TestData(L"power.cab"));
        ASSERT_FALSE(cabinet.empty());
        ASSERT_TRUE(test::WriteBytes(launcher_, test::LauncherBytes(std::string(64, '\0'), cabinet)));
    }

    // A whole run whose entry leaves the request files named in requests.
    DWORD Run(const std::wstring& requests, const std::wstring& extraOptions = L"") {
        std::wstring tail = L"/LOG:" + logBase_ + L" " + extraOptions + L" " + requests;
        return DWORD(test::RunInProcess(launcher_, tail));
    }

    std::wstring LogFile() const { return logBase_ + L"-sfxlog.log"; }

    test::OverrideScope overrides_;
    ScratchFolder scratch_{L"power"};
    ScratchFolder temp_{L"power-temp"};
    std::wstring launcher_ = scratch_ / L"update.exe";
    std::wstring logBase_ = scratch_ / L"run";
};

constexpr DWORD kReason = 0x80040001;  // planned, application, maintenance

TEST_F(PowerRequestRun, EachRequestFileGivesItsFlagsWithThePlannedMaintenanceReason) {
    struct Case {
        const wchar_t* requests;
        UINT flags;
    } cases[] = {
        {L"reboot", 2},
        {L"shutdown", 1},
        {L"fastshutdown", 0x400001},
        {L"shutdown-folder", 1},  // a folder under the name counts as well
        {L"shutdown reboot", 2},  // reboot wins over shutdown
        {L"fastshutdown shutdown", 1},
    };
    for (const Case& c : cases) {
        g_recorder.shutdowns.clear();
        EXPECT_EQ(Run(c.requests), 0u) << c.requests;
        ASSERT_EQ(g_recorder.shutdowns.size(), 1u) << c.requests;
        EXPECT_EQ(g_recorder.shutdowns[0].flags, c.flags) << c.requests;
        EXPECT_EQ(g_recorder.shutdowns[0].reason, kReason) << c.requests;
    }
}

TEST_F(PowerRequestRun, PrivilegeIsEnabledForTheCallAndPutBack) {
    EXPECT_EQ(Run(L"reboot"), 0u);
    EXPECT_EQ(g_recorder.tokenAccess, DWORD(TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY));
    EXPECT_EQ(g_recorder.privilegeName, L"SeShutdownPrivilege");
    ASSERT_EQ(g_recorder.enabled.size(), 1u);
    EXPECT_EQ(g_recorder.enableBufferLengths[0], 16u);
    const TOKEN_PRIVILEGES& enabled = g_recorder.enabled[0];
    EXPECT_EQ(enabled.PrivilegeCount, 1u);
    EXPECT_EQ(enabled.Privileges[0].Luid.LowPart, kShutdownLuid.LowPart);
    EXPECT_EQ(enabled.Privileges[0].Attributes, DWORD(SE_PRIVILEGE_ENABLED));
    EXPECT_EQ(g_recorder.restores, 1);
    EXPECT_TRUE(g_recorder.restoreArgumentsRight);
}

TEST_F(PowerRequestRun, WorkFolderIsGoneBeforeTheRequestAndReturnIsStillLoggedLast) {
    EXPECT_EQ(Run(L"shutdown"), 0u);
    ASSERT_EQ(g_recorder.shutdowns.size(), 1u);
    EXPECT_FALSE(g_recorder.shutdowns[0].workFolderExisted);
    EXPECT_FALSE(test::Exists(g_run.workFolder));

    // Everything written after the request is the "return" line, and nothing
    // of the request itself is logged.
    std::string log = test::ReadBytes(LogFile());
    ASSERT_GT(LONGLONG(log.size()), g_recorder.shutdowns[0].logSize);
    std::string after = log.substr(size_t(g_recorder.shutdowns[0].logSize));
    std::vector<std::wstring> messages = test::LogMessages(LogFile());
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), L"return 0.");
    EXPECT_EQ(after.size(), (22 + messages.back().size() + 2) * 2);
    EXPECT_EQ(messages[messages.size() - 2], L"ExecBatOrExe return 0.");
}

TEST_F(PowerRequestRun, WithoutThePrivilegeNothingHappensAndNothingChanges) {
    g_recorder.adjustError = ERROR_NOT_ALL_ASSIGNED;
    EXPECT_EQ(Run(L"reboot"), 0u);
    EXPECT_TRUE(g_recorder.shutdowns.empty());
    EXPECT_EQ(g_recorder.restores, 0);
    std::vector<std::wstring> messages = test::LogMessages(LogFile());
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(messages[messages.size() - 2], L"ExecBatOrExe return 0.");
    EXPECT_EQ(messages.back(), L"return 0.");

    g_recorder = Recorder();
    g_recorder.tokenOpens = false;
    EXPECT_EQ(Run(L"shutdown"), 0u);
    EXPECT_TRUE(g_recorder.enabled.empty());
    EXPECT_TRUE(g_recorder.shutdowns.empty());
}

TEST_F(PowerRequestRun, NoRequestFileNoRequest) {
    EXPECT_EQ(Run(L"nothing"), 0u);
    EXPECT_TRUE(g_recorder.enabled.empty());
    EXPECT_TRUE(g_recorder.shutdowns.empty());
}

TEST_F(PowerRequestRun, ExtractOnlyActsOnlyOnTheRequestItsCabinetBrings) {
    // A request file that was in the folder before the run (left by anyone
    // who may write there, or by an earlier package) is no request of this
    // package: no call, and the file stays as it was.
    ScratchFolder target(L"power-extract");
    ASSERT_TRUE(test::WriteText(target / L"indicatereboot.dat", "x"));
    EXPECT_EQ(Run(L"", L"/ExtractOnlyMode:" + target.path()), 0u);
    EXPECT_TRUE(g_recorder.shutdowns.empty());
    EXPECT_EQ(test::ReadBytes(target / L"indicatereboot.dat"), "x");
    EXPECT_TRUE(test::Exists(target / L"setup.bat"));  // expanded, never run

    // One that the cabinet brings is acted on, in each run into the folder,
    // also when the previous run left it there.
    std::string cabinet = test::ReadBytes(test::TestData(L"power-reboot.cab"));
    ASSERT_FALSE(cabinet.empty());
    ASSERT_TRUE(test::WriteBytes(launcher_, test::LauncherBytes(std::string(64, '\0'), cabinet)));
    for (int run = 0; run < 2; ++run) {
        g_recorder.shutdowns.clear();
        EXPECT_EQ(Run(L"", L"/ExtractOnlyMode:" + target.path()), 0u);
        ASSERT_EQ(g_recorder.shutdowns.size(), 1u) << "run " << run;
        EXPECT_EQ(g_recorder.shutdowns[0].flags, UINT(EWX_REBOOT));
        EXPECT_TRUE(g_recorder.shutdowns[0].workFolderExisted);
        EXPECT_TRUE(test::Exists(target / L"indicatereboot.dat"));
    }
}

TEST(PowerRequestCheck, FirstExistingNameDecidesAndAnythingUnderTheNameCounts) {
    ScratchFolder folder(L"power-check");
    EXPECT_EQ(CheckPowerRequest(folder.path()), PowerRequest::None);
    ASSERT_TRUE(test::MakeFolders(folder / L"indicatefastshutdown.dat"));
    EXPECT_EQ(CheckPowerRequest(folder.path()), PowerRequest::FastShutdown);
    ASSERT_TRUE(test::WriteText(folder / L"indicateshutdown.dat", ""));
    EXPECT_EQ(CheckPowerRequest(folder.path()), PowerRequest::Shutdown);
    ASSERT_TRUE(test::WriteText(folder / L"INDICATEREBOOT.DAT", ""));
    EXPECT_EQ(CheckPowerRequest(folder.path()), PowerRequest::Reboot);
}

TEST(PowerRequestCheck, NoneDoesNotTouchTheToken) {
    test::OverrideScope overrides;
    g_recorder = Recorder();
    g_sys.OpenProcessToken = FakeOpenProcessToken;
    g_sys.ExitWindowsEx = FakeExitWindowsEx;
    ExecPowerRequest(PowerRequest::None);
    EXPECT_EQ(g_recorder.tokenAccess, 0u);
    EXPECT_TRUE(g_recorder.shutdowns.empty());
}

}  // namespace
}  // namespace kesto
