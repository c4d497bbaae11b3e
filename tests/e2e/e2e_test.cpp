// Whole runs of the real stub: launcher files made from it and the test
// packages, started with exact command lines, judged by what a caller sees:
// the exit code, the log, the folders left behind.
#include <windows.h>
#include <gtest/gtest.h>
#include <sddl.h>
#include <shellapi.h>

#include <algorithm>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using kesto::test::ScratchFolder;
namespace t = kesto::test;

constexpr DWORD kClosedFromOutside = 141950976;
constexpr DWORD kNoWorkFolder = 141950978;
constexpr DWORD kPartialCopyFailed = 141950981;
constexpr DWORD kExpandFailed = 141950983;
constexpr DWORD kNoEntry = 141950984;

// The lines of a record an entry wrote (UTF-8, CR LF).
std::vector<std::wstring> ReadRecord(const std::wstring& path) {
    std::wstring text = t::Widen(t::ReadBytes(path));
    std::vector<std::wstring> lines;
    size_t start = 0;
    for (size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    return lines;
}


class LauncherRun : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(t::StubPath().empty()) << "KESTO_STUB is not set";
        ASSERT_TRUE(t::MakeFolders(temp_));
        ASSERT_TRUE(t::MakeFolders(records_));
    }

    void TearDown() override {
        // Whatever happened, a run leaves no work folder behind.
        EXPECT_TRUE(t::ListFolder(temp_).empty()) << "left under the temporary path: "
                                                  << t::Narrow(t::ListFolder(temp_).front());
    }

    // A launcher file made of the stub and a test package.
    void MakeLauncher(const std::wstring& package, const std::wstring& folder = L"") {
        std::wstring where = folder.empty() ? scratch_.path() : folder;
        ASSERT_TRUE(t::MakeFolders(where));
        NewLauncherName(where);
        ASSERT_TRUE(t::ComposeLauncher(launcher_, t::TestData(L"packages\\" + package + L".cab")));
    }
    // The launcher file of the test's next launcher: update.exe, then
    // update-2.exe and so on. Never the file of one that ran before: Wine
    // may still hold the image of a program that has just ended, and one
    // rewritten in place then at times cannot start.
    void NewLauncherName(const std::wstring& folder) {
        ++launchers_;
        launcher_ = folder + L"\\update" + (launchers_ == 1 ? L"" : L"-" + std::to_wstring(launchers_)) + L".exe";
    }

    t::Child Launch(const std::wstring& tail, WORD show = SW_HIDE) const {
        t::Child child;
        child.commandLine = L"\"" + launcher_ + L"\"" + (tail.empty() ? L"" : L" " + tail);
        child.currentDirectory = scratch_.path();
        child.temp = temp_;
        child.environment = {{L"KESTO_RECORD_DIR", records_}};
        child.show = show;
        return child;
    }

    DWORD Run(const std::wstring& tail, WORD show = SW_HIDE) const { return t::Run(Launch(tail, show)); }

    std::wstring LogOption() const { return L"/LOG:" + logBase_; }
    std::wstring LogFile() const { return logBase_ + L"-sfxlog.log"; }
    std::vector<std::wstring> Messages() const { return t::LogMessages(LogFile()); }
    std::wstring WorkFolder() const { return temp_ + L"\\QzEXF0000"; }
    std::vector<std::wstring> Record(const std::wstring& entry) const { return ReadRecord(records_ + L"\\" + entry + L".txt"); }

    ScratchFolder scratch_{L"e2e"};
    std::wstring temp_ = scratch_ / L"temp";
    std::wstring records_ = scratch_ / L"records";
    std::wstring logBase_ = scratch_ / L"run";
    std::wstring launcher_;
    int launchers_ = 0;
};

// ---------------------------------------------------------------------------
// Exit codes and what reaches the entry

TEST_F(LauncherRun, EntryExitCodeBecomesTheLaunchersUnchanged) {
    MakeLauncher(L"bat7");
    EXPECT_EQ(Run(L""), 7u);
    MakeLauncher(L"bat_code_passthrough");
    EXPECT_EQ(Run(L""), kPartialCopyFailed);  // the entry's own, not a failure of ours
    MakeLauncher(L"exe_only");
    EXPECT_EQ(Run(L""), 9u);
}

TEST_F(LauncherRun, WholeTailReachesABatchEntryVerbatimOptionsIncluded) {
    MakeLauncher(L"bat7");
    std::wstring tail = LogOption() + L" one \"two three\" -DisplaymodeOFF \"a \"\"quoted\"\" word\" end";
    EXPECT_EQ(Run(tail), 7u);
    std::vector<std::wstring> record = Record(L"setup.bat");
    ASSERT_EQ(record.size(), 2u);
    EXPECT_EQ(record[0], tail);
    EXPECT_EQ(record[1], WorkFolder());
}

TEST_F(LauncherRun, ProgramEntryRunsInTheWorkFolderWithQuotedPathAndTail) {
    MakeLauncher(L"exe_only", scratch_ / L"with blank");
    std::wstring tail = L"/ExtractOnlyMod \"x y\" z";  // not our option: a near miss
    EXPECT_EQ(Run(tail), 9u);
    std::vector<std::wstring> record = Record(L"recorder.exe");
    ASSERT_EQ(record.size(), 5u);
    EXPECT_EQ(record[0], L"\"" + WorkFolder() + L"\\recorder.exe\" " + tail);
    EXPECT_EQ(record[1], WorkFolder());
    // Started directly: no show state is handed on, hidden or not.
    EXPECT_EQ(record[3], L"0");
}

TEST_F(LauncherRun, ProgramEntryWithoutArgumentsGetsNoTrailingBlank) {
    MakeLauncher(L"exe_only");
    EXPECT_EQ(Run(L""), 9u);
    std::vector<std::wstring> record = Record(L"recorder.exe");
    ASSERT_FALSE(record.empty());
    EXPECT_EQ(record[0], L"\"" + WorkFolder() + L"\\recorder.exe\"");
}

TEST_F(LauncherRun, BatchBeatsCommandScriptBeatsProgram) {
    MakeLauncher(L"precedence_all");
    EXPECT_EQ(Run(L""), 11u);
    EXPECT_TRUE(t::Exists(records_ + L"\\setup.bat.txt"));
    EXPECT_FALSE(t::Exists(records_ + L"\\install.cmd.txt"));
    EXPECT_FALSE(t::Exists(records_ + L"\\recorder.exe.txt"));

    ScratchFolder second(L"e2e-cmd");
    MakeLauncher(L"precedence_cmd_exe", second.path());
    EXPECT_EQ(Run(L"x"), 12u);
    std::vector<std::wstring> record = Record(L"install.cmd");
    ASSERT_EQ(record.size(), 2u);
    EXPECT_EQ(record[0], L"x");
    EXPECT_FALSE(t::Exists(records_ + L"\\recorder.exe.txt"));
}

// ---------------------------------------------------------------------------
// Extract-only runs

TEST_F(LauncherRun, ExtractOnlyExpandsIntoARelativeFolderWithMissingLevelsAndStartsNothing) {
    MakeLauncher(L"extract_only");
    std::wstring target = scratch_ / L"out\\a\\b";
    EXPECT_EQ(Run(LogOption() + L" /ExtractOnlyMode:out\\a\\b\\"), 0u);
    EXPECT_TRUE(t::Exists(target + L"\\MyData.cab"));
    EXPECT_TRUE(t::Exists(target + L"\\readme.txt"));
    EXPECT_TRUE(t::Exists(target + L"\\data\\sub\\file.bin"));
    EXPECT_TRUE(t::Exists(target + L"\\setup.bat"));
    EXPECT_FALSE(t::Exists(target + L"\\entry-ran.txt"));
    EXPECT_TRUE(t::ListFolder(records_).empty());

    std::vector<std::wstring> messages = Messages();
    ASSERT_GE(messages.size(), 3u);
    EXPECT_EQ(messages[1], L"TempFolder: " + target + L".");
    EXPECT_EQ(messages[messages.size() - 2], L"ExecCab return 0.");
    EXPECT_EQ(messages.back(), L"return 0.");
}

TEST_F(LauncherRun, ExtractOnlyExpandsEnvironmentReferencesAndKeepsWhatWasThere) {
    MakeLauncher(L"extract_only");
    std::wstring target = scratch_ / L"kept";
    ASSERT_TRUE(t::MakeFolders(target));
    ASSERT_TRUE(t::WriteText(target + L"\\mine.txt", "was here before"));
    t::Child child = Launch(L"-extractonlymode:%KESTO_E2E_TARGET%");
    child.environment.emplace_back(L"KESTO_E2E_TARGET", target);
    EXPECT_EQ(t::Run(child), 0u);
    EXPECT_EQ(t::ReadBytes(target + L"\\mine.txt"), "was here before");
    EXPECT_TRUE(t::Exists(target + L"\\readme.txt"));
    EXPECT_FALSE(t::Exists(target + L"\\entry-ran.txt"));
}

// ---------------------------------------------------------------------------
// Failures a caller must be able to tell apart

TEST_F(LauncherRun, DamagedOrTruncatedCabinetFailsTheExpansion) {
    std::string cabinet = t::ReadBytes(t::TestData(L"packages\\bat7.cab"));
    ASSERT_GT(cabinet.size(), 200u);
    std::string damaged = cabinet;
    for (size_t i = 60; i < damaged.size(); i += 7) damaged[i] = char(damaged[i] ^ 0x5A);
    std::string truncated = cabinet.substr(0, cabinet.size() / 2);
    for (const std::string* variant : {&damaged, &truncated}) {
        NewLauncherName(scratch_.path());
        ASSERT_TRUE(t::WriteBytes(launcher_, t::LauncherBytes(t::ReadBytes(t::StubPath()), *variant)));
        ::DeleteFileW(LogFile().c_str());
        EXPECT_EQ(Run(LogOption()), kExpandFailed);
        std::vector<std::wstring> messages = Messages();
        ASSERT_GE(messages.size(), 3u);
        EXPECT_EQ(messages[messages.size() - 3].rfind(L"ExecCab return ", 0), 0u);
        EXPECT_NE(messages[messages.size() - 3], L"ExecCab return 0.");
        EXPECT_EQ(messages[messages.size() - 2], L"Failed to expand command.");
        EXPECT_EQ(messages.back(), L"return 141950983.");
        EXPECT_FALSE(t::Exists(records_ + L"\\setup.bat.txt"));
    }
}

TEST_F(LauncherRun, PackageWithoutEntryFailsTheEntryStage) {
    for (const wchar_t* package : {L"no_entry", L"entry_in_subfolder"}) {
        MakeLauncher(package);
        ::DeleteFileW(LogFile().c_str());
        EXPECT_EQ(Run(LogOption()), kNoEntry) << t::Narrow(package);
        std::vector<std::wstring> messages = Messages();
        ASSERT_GE(messages.size(), 2u);
        EXPECT_EQ(messages[messages.size() - 2], L"Failed to ExecBatOrExe.");
        EXPECT_EQ(messages.back(), L"return 141950984.");
    }
}

TEST_F(LauncherRun, StubWithoutPayloadFailsTheCopy) {
    launcher_ = scratch_ / L"bare.exe";
    ASSERT_TRUE(t::WriteBytes(launcher_, t::ReadBytes(t::StubPath())));
    EXPECT_EQ(Run(LogOption()), kPartialCopyFailed);
    std::vector<std::wstring> messages = Messages();
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[2], L"Failed to PartialCopy.");
    EXPECT_EQ(messages[3], L"return 141950981.");
}

TEST_F(LauncherRun, UncreatableWorkFolderEndsEarlyWithItsTwoLines) {
    MakeLauncher(L"bat7");
    // A temporary path below a file: no folder can be made there.
    ASSERT_TRUE(t::WriteText(scratch_ / L"file", "x"));
    t::Child child = Launch(LogOption());
    child.temp = scratch_ / L"file\\temp";
    EXPECT_EQ(t::Run(child), kNoWorkFolder);
    std::vector<std::wstring> messages = Messages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0], L"LOG mode (" + LogFile() + L").");
    EXPECT_EQ(messages[1], L"ERROR - Failed to create a temporary folder.");
    EXPECT_EQ(messages[2], L"return 141950978.");
    EXPECT_FALSE(t::Exists(records_ + L"\\setup.bat.txt"));
}

// ---------------------------------------------------------------------------
// The log of a normal run

TEST_F(LauncherRun, LogOfANormalRunHoldsExactlyTheseLines) {
    MakeLauncher(L"bat7");
    std::wstring tail = LogOption() + L" \"x y\"";
    EXPECT_EQ(Run(tail), 7u);
    bool byteOrderMark = false;
    std::vector<std::wstring> lines = t::ReadLogLines(LogFile(), &byteOrderMark);
    EXPECT_TRUE(byteOrderMark);
    ASSERT_FALSE(lines.empty());
    // "********** Kesto - yyyy/mm/dd - hh:mm:ss **********"
    EXPECT_EQ(lines[0].size(), 51u);
    EXPECT_EQ(lines[0].substr(0, 19), L"********** Kesto - ");
    EXPECT_EQ(lines[0].substr(40), L" **********");

    std::wstring work = WorkFolder();
    std::vector<std::wstring> expected = {
        L"LOG mode (" + LogFile() + L").",
        L"TempFolder: " + work + L".",
        L"CreateProcess Cmd: " + t::ExpansionCommandLine(work) + L".",
        L"CreateProcess Dir: " + work + L".",
        L"ExecCab return 0.",
        L"ShellExecuteEx Path:\"" + work + L"\\setup.bat\".",
        L"ShellExecuteEx Param:" + tail + L".",
        L"ShellExecuteEx Dir:" + work + L".",
        L"ExecBatOrExe return 7.",
        L"return 7.",
    };
    EXPECT_EQ(t::LogMessages(LogFile()), expected);
    for (size_t i = 1; i < lines.size(); ++i) EXPECT_NE(t::WithoutTimePrefix(lines[i]), lines[i]) << i;
}

TEST_F(LauncherRun, LogAppendsAcrossRunsWithOneByteOrderMark) {
    MakeLauncher(L"bat7");
    EXPECT_EQ(Run(LogOption()), 7u);
    EXPECT_EQ(Run(LogOption()), 7u);
    bool byteOrderMark = false;
    std::vector<std::wstring> lines = t::ReadLogLines(LogFile(), &byteOrderMark);
    EXPECT_TRUE(byteOrderMark);
    size_t banners = 0;
    for (const std::wstring& line : lines) {
        banners += line.rfind(L"********** Kesto - ", 0) == 0;
        EXPECT_EQ(line.find(L'\xFEFF'), std::wstring::npos) << "a second byte-order mark";
    }
    EXPECT_EQ(banners, 2u);
}

TEST_F(LauncherRun, EmptyLogOptionWritesNoLog) {
    MakeLauncher(L"bat7");
    EXPECT_EQ(Run(L"/LOG:"), 7u);
    EXPECT_EQ(t::ListFolder(scratch_.path()), (std::vector<std::wstring>{L"records", L"temp", L"update.exe"}));
}

// ---------------------------------------------------------------------------
// Closing a running launcher from outside

TEST_F(LauncherRun, ClosedFromOutsideWaitsForTheEntryThenEndsWithTheInitialCode) {
    MakeLauncher(L"waiter");
    HANDLE process = t::Start(Launch(LogOption()));
    ASSERT_NE(process, nullptr);
    DWORD pid = ::GetProcessId(process);
    std::wstring work = WorkFolder();
    ASSERT_TRUE(t::WaitUntil([&] { return t::Exists(work + L"\\started.txt"); })) << "the entry never started";

    HWND window = t::FindStageWindow(pid);
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(::PostMessageW(window, WM_CLOSE, 0, 0));
    // The launcher waits for its entry and never ends it.
    EXPECT_EQ(::WaitForSingleObject(process, 1500), DWORD(WAIT_TIMEOUT));
    ASSERT_TRUE(t::WriteText(work + L"\\release.txt", "go"));
    ASSERT_EQ(::WaitForSingleObject(process, 120000), DWORD(WAIT_OBJECT_0));
    DWORD exitCode = 0;
    ::GetExitCodeProcess(process, &exitCode);
    ::CloseHandle(process);
    EXPECT_EQ(exitCode, kClosedFromOutside);

    std::vector<std::wstring> messages = Messages();
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(messages[messages.size() - 2], L"ShellExecuteEx Dir:" + work + L".");
    EXPECT_EQ(messages.back(), L"return 141950976.");
    EXPECT_FALSE(t::Exists(work));
}

// ---------------------------------------------------------------------------
// The log lock between launchers

// The name of the log lock of the launcher at path: the path without its
// extension, ".LOG" and a fixed suffix, with slashes for backslashes.
std::wstring LogLockName(std::wstring path) {
    path.resize(path.rfind(L'.'));
    path += L".LOG-4DA00EA1-D771-430E-B79B-EC4D6915B3A7";
    for (wchar_t& c : path) {
        if (c == L'\\') c = L'/';
    }
    return path;
}

LONGLONG FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return -1;
    return (LONGLONG(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

TEST_F(LauncherRun, LogWaitsForTheLockNamedAfterTheLauncherPath) {
    MakeLauncher(L"bat7");
    HANDLE lock = ::CreateSemaphoreW(nullptr, 1, 1, LogLockName(launcher_).c_str());
    ASSERT_NE(lock, nullptr);
    ASSERT_EQ(::WaitForSingleObject(lock, 0), DWORD(WAIT_OBJECT_0));  // held by this test now

    HANDLE process = t::Start(Launch(LogOption()));
    ASSERT_NE(process, nullptr);
    // The log is opened, and its byte-order mark written, before the banner,
    // which waits for the lock.
    EXPECT_TRUE(t::WaitUntil([&] { return FileSize(LogFile()) == 2; }));
    EXPECT_EQ(::WaitForSingleObject(process, 1500), DWORD(WAIT_TIMEOUT));
    EXPECT_EQ(FileSize(LogFile()), 2);

    ::ReleaseSemaphore(lock, 1, nullptr);
    ASSERT_EQ(::WaitForSingleObject(process, 120000), DWORD(WAIT_OBJECT_0));
    DWORD exitCode = 0;
    ::GetExitCodeProcess(process, &exitCode);
    ::CloseHandle(process);
    ::CloseHandle(lock);
    EXPECT_EQ(exitCode, 7u);
    std::vector<std::wstring> messages = Messages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), L"return 7.");
}

TEST_F(LauncherRun, LockKeptByAnotherProcessDelaysARunBySecondsAndLosesNoLine) {
    MakeLauncher(L"exe_only");
    // This test takes the count and never gives it back, as any process that
    // can open the semaphore may.
    HANDLE lock = ::CreateSemaphoreW(nullptr, 0, 1, LogLockName(launcher_).c_str());
    ASSERT_NE(lock, nullptr);
    HANDLE process = t::Start(Launch(LogOption()));
    ASSERT_NE(process, nullptr);
    // The run may wait 3 s for the lock in all; the run itself takes one or
    // two seconds here and several times that under load. 90 s leaves room
    // for any load and still tells it from a wait per line: before, each of
    // the run's eleven writes waited out its 150 s.
    DWORD ended = ::WaitForSingleObject(process, 90000);
    if (ended != WAIT_OBJECT_0) ::TerminateProcess(process, 1);
    EXPECT_EQ(ended, DWORD(WAIT_OBJECT_0));
    DWORD exitCode = 0;
    ::GetExitCodeProcess(process, &exitCode);
    ::CloseHandle(process);
    EXPECT_EQ(exitCode, 9u);
    EXPECT_EQ(Messages(), t::ProgramEntryRunLog(LogFile(), WorkFolder(), L"recorder.exe", LogOption(), 9));
    // A count the launcher never took was never given back either.
    EXPECT_EQ(::WaitForSingleObject(lock, 0), DWORD(WAIT_TIMEOUT));
    ::CloseHandle(lock);
}

TEST_F(LauncherRun, TwoLaunchersFromOneFileRunSideBySide) {
    MakeLauncher(L"waiter");
    std::wstring firstLog = scratch_ / L"first", secondLog = scratch_ / L"second";
    HANDLE first = t::Start(Launch(L"/LOG:" + firstLog));
    ASSERT_NE(first, nullptr);
    ASSERT_TRUE(t::WaitUntil([&] { return t::Exists(temp_ + L"\\QzEXF0000\\started.txt"); }));
    HANDLE second = t::Start(Launch(L"/LOG:" + secondLog));
    ASSERT_NE(second, nullptr);
    ASSERT_TRUE(t::WaitUntil([&] { return t::Exists(temp_ + L"\\QzEXF0001\\started.txt"); }));

    for (const wchar_t* folder : {L"\\QzEXF0001", L"\\QzEXF0000"}) {
        ASSERT_TRUE(t::WriteText(temp_ + folder + L"\\release.txt", "go"));
    }
    for (HANDLE process : {first, second}) {
        ASSERT_EQ(::WaitForSingleObject(process, 120000), DWORD(WAIT_OBJECT_0));
        DWORD exitCode = 0;
        ::GetExitCodeProcess(process, &exitCode);
        ::CloseHandle(process);
        EXPECT_EQ(exitCode, 5u);
    }
    for (const std::wstring& log : {firstLog, secondLog}) {
        std::vector<std::wstring> lines = t::ReadLogLines(log + L"-sfxlog.log");
        ASSERT_EQ(lines.size(), 11u);
        for (size_t i = 1; i < lines.size(); ++i) EXPECT_NE(t::WithoutTimePrefix(lines[i]), lines[i]);
        EXPECT_EQ(t::WithoutTimePrefix(lines.back()), L"return 5.");
    }
}

// ---------------------------------------------------------------------------
// Guards against other users of the machine

// The user of this process's token (the launchers it starts run as the same
// user), in the system's string form.
std::wstring OwnUserSid() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return std::wstring();
    std::vector<BYTE> user(256);
    DWORD size = 0;
    BOOL got = ::GetTokenInformation(token, TokenUser, user.data(), DWORD(user.size()), &size);
    ::CloseHandle(token);
    LPWSTR text = nullptr;
    if (!got || !::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &text)) return L"";
    std::wstring sid = text;
    ::LocalFree(text);
    return sid;
}

// The entries of an access list in string form ("D:P(A;OICI;FA;;;SY)(...)").
std::vector<std::wstring> AccessEntries(const std::wstring& list) {
    std::vector<std::wstring> entries;
    for (size_t open = list.find(L'('); open != std::wstring::npos; open = list.find(L'(', open + 1))
        entries.push_back(list.substr(open + 1, list.find(L')', open) - open - 1));
    return entries;
}

TEST_F(LauncherRun, LibrariesPlantedBesideTheLauncherAreNeverLoaded) {
    // System libraries that are not known to the loader, so that a copy in
    // the program's folder could win; Wine is told to prefer such copies.
    const wchar_t* names[] = {L"version",  L"shcore",   L"uxtheme",  L"dwmapi",  L"cryptbase", L"profapi",
                              L"userenv",  L"winmm",    L"propsys",  L"secur32", L"sspicli",   L"bcrypt",
                              L"msimg32",  L"cabinet",  L"apphelp",  L"dbghelp", L"wtsapi32",  L"wintrust",
                              L"crypt32",  L"urlmon",   L"iphlpapi", L"imm32",   L"shlwapi",   L"oleaut32",
                              L"netapi32", L"comctl32", L"windowscodecs"};
    std::wstring downloads = scratch_ / L"downloads";
    MakeLauncher(L"bat7", downloads);
    std::wstring planted = t::TestData(L"planted.dll");

    // The planted library does leave its trace when it is loaded.
    std::wstring probe = downloads + L"\\probe.dll";
    ASSERT_TRUE(::CopyFileW(planted.c_str(), probe.c_str(), FALSE));
    HMODULE loaded = ::LoadLibraryW(probe.c_str());
    ASSERT_NE(loaded, nullptr);
    ::FreeLibrary(loaded);
    ASSERT_TRUE(t::Exists(probe + L".loaded"));

    wchar_t inherited[1024] = {};
    ::GetEnvironmentVariableW(L"WINEDLLOVERRIDES", inherited, 1024);
    std::wstring overrides = inherited;
    for (const wchar_t* name : names) {
        std::wstring copy = downloads + L"\\" + name + L".dll";
        ASSERT_TRUE(::CopyFileW(planted.c_str(), copy.c_str(), FALSE));
        overrides += std::wstring(overrides.empty() ? L"" : L";") + name + L"=n,b";
    }
    t::Child child = Launch(LogOption());
    child.environment.push_back({L"WINEDLLOVERRIDES", overrides});
    EXPECT_EQ(t::Run(child), 7u);
    for (const wchar_t* name : names)
        EXPECT_FALSE(t::Exists(downloads + L"\\" + name + L".dll.loaded")) << t::Narrow(name) << ".dll was loaded";
    std::vector<std::wstring> messages = Messages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), L"return 7.");
}

TEST_F(LauncherRun, WorkFolderIsPrivateToTheLauncher) {
    MakeLauncher(L"exe_only");
    EXPECT_EQ(Run(L""), 9u);
    std::vector<std::wstring> record = Record(L"recorder.exe");
    ASSERT_EQ(record.size(), 5u);
    ASSERT_EQ(record[1], WorkFolder());
    // Read back while the entry ran: full control for the local system
    // account, the Administrators and the launcher's user, inherited by
    // everything inside, and nobody else. Wine keeps a folder's list as the
    // owner's and the others' permission bits, so it reads back the system
    // account and the user only, without the protected flag; the descriptor
    // handed to the creation is checked whole in the work folder's own tests.
    std::wstring user = OwnUserSid();
    ASSERT_FALSE(user.empty());
    std::vector<std::wstring> entries = AccessEntries(record[4]);
    const std::vector<std::wstring> allowed = {L"A;OICI;FA;;;SY", L"A;OICI;FA;;;BA", L"A;OICI;FA;;;" + user};
    for (const std::wstring& entry : entries)
        EXPECT_NE(std::find(allowed.begin(), allowed.end(), entry), allowed.end()) << t::Narrow(record[4]);
    for (const std::wstring& needed : {allowed[0], allowed[2]})
        EXPECT_NE(std::find(entries.begin(), entries.end(), needed), entries.end()) << t::Narrow(record[4]);
}

TEST_F(LauncherRun, NamesTakenUnderTheTemporaryPathAreSkippedAndLeftAlone) {
    // One empty file named like the first free work folder must not stop
    // every launcher on the machine.
    ASSERT_TRUE(t::WriteText(temp_ + L"\\QzEXF0000", ""));
    ASSERT_TRUE(t::MakeFolders(temp_ + L"\\QzEXF0001"));
    ASSERT_TRUE(t::WriteText(temp_ + L"\\QzEXF0001\\setup.bat", "@exit /b 66\r\n"));
    MakeLauncher(L"bat7");
    EXPECT_EQ(Run(LogOption()), 7u);
    EXPECT_EQ(Messages()[1], L"TempFolder: " + temp_ + L"\\QzEXF0002.");
    EXPECT_EQ(t::ListFolder(temp_), (std::vector<std::wstring>{L"QzEXF0000", L"QzEXF0001"}));
    EXPECT_EQ(t::ReadBytes(temp_ + L"\\QzEXF0000"), "");
    EXPECT_EQ(t::ReadBytes(temp_ + L"\\QzEXF0001\\setup.bat"), "@exit /b 66\r\n");
    ASSERT_TRUE(t::RemoveTree(temp_ + L"\\QzEXF0000"));
    ASSERT_TRUE(t::RemoveTree(temp_ + L"\\QzEXF0001"));
}

TEST_F(LauncherRun, ExpandProgramsPlantedOutsideTheSystemFolderNeverRun) {
    // A program named expand.exe in the caller's folder of an extract-only
    // run (the expansion's current folder) and in a folder first on the PATH
    // of a normal run: each would record its start and end with 0.
    std::wstring target = scratch_ / L"unpacked";
    std::wstring onPath = scratch_ / L"on-path";
    for (const std::wstring& folder : {target, onPath}) {
        ASSERT_TRUE(t::MakeFolders(folder));
        ASSERT_TRUE(::CopyFileW(t::TestData(L"entries\\recorder.exe").c_str(), (folder + L"\\expand.exe").c_str(), FALSE));
    }
    MakeLauncher(L"extract_only");
    EXPECT_EQ(Run(L"/ExtractOnlyMode:" + target), 0u);
    EXPECT_TRUE(t::Exists(target + L"\\readme.txt"));
    EXPECT_TRUE(t::Exists(target + L"\\data\\sub\\file.bin"));

    MakeLauncher(L"bat7");
    t::Child child = Launch(L"");
    child.environment.push_back({L"PATH", onPath + L";C:\\windows\\system32;C:\\windows"});
    EXPECT_EQ(t::Run(child), 7u);
    EXPECT_FALSE(t::Exists(records_ + L"\\expand.exe.txt")) << "a planted expand.exe ran";
}

TEST_F(LauncherRun, LogNameThatIsASecondNameOfAnotherFileIsNotWrittenThrough) {
    std::wstring other = scratch_ / L"other.txt";
    ASSERT_TRUE(t::WriteText(other, "another user's file"));
    ASSERT_TRUE(::CreateHardLinkW(LogFile().c_str(), other.c_str(), nullptr));
    MakeLauncher(L"bat7");
    EXPECT_EQ(Run(LogOption()), 7u);
    EXPECT_EQ(t::ReadBytes(other), "another user's file");
}

// Whether a client ever connected to the pipe server pipe (and perhaps went).
bool ClientConnected(HANDLE pipe) {
    OVERLAPPED overlapped = {};
    overlapped.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    BOOL connected = ::ConnectNamedPipe(pipe, &overlapped);
    DWORD error = ::GetLastError();
    if (!connected && error == ERROR_IO_PENDING) ::CancelIo(pipe);
    ::CloseHandle(overlapped.hEvent);
    return connected || error != ERROR_IO_PENDING;
}

TEST_F(LauncherRun, FilesInTheCallersFoldersAreNeverWrittenThroughLinks) {
    // A MyData.cab in an extract-only folder that is a second name of another
    // file: the run fails as a copy that cannot be written, the file stays.
    std::wstring out = scratch_ / L"out";
    std::wstring other = scratch_ / L"other.txt";
    ASSERT_TRUE(t::MakeFolders(out));
    ASSERT_TRUE(t::WriteText(other, "another user's file"));
    ASSERT_TRUE(::CreateHardLinkW((out + L"\\MyData.cab").c_str(), other.c_str(), nullptr));
    MakeLauncher(L"bat7");
    EXPECT_EQ(Run(L"/ExtractOnlyMode:" + out), kPartialCopyFailed);
    EXPECT_EQ(t::ReadBytes(other), "another user's file");

    // A log whose folder is a link: nothing is made at the link's target, and
    // the run goes on without a log.
    t::ScratchFolder target(L"target");
    std::wstring link = scratch_ / L"link";
    t::FolderLink made(link, target.path());
    ASSERT_TRUE(t::IsLink(link));
    EXPECT_EQ(Run(L"/LOG:" + link + L"\\run"), 7u);
    EXPECT_EQ(t::ListFolder(target.path()), std::vector<std::wstring>());

    // A log named as a pipe: the pipe's server never sees the launcher.
    std::wstring pipeName = L"\\\\.\\pipe\\kesto-e2e-" + std::to_wstring(::GetCurrentProcessId());
    HANDLE pipe = ::CreateNamedPipeW((pipeName + L"-sfxlog.log").c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                     PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Run(L"/LOG:" + pipeName), 7u);
    EXPECT_FALSE(ClientConnected(pipe));
    ::CloseHandle(pipe);
}

TEST_F(LauncherRun, LineBreaksInTheTailCannotForgeLogLines) {
    MakeLauncher(L"exe_only");
    const std::wstring forged = L"2026/12/08 10:00:00 - return 0.";
    EXPECT_EQ(Run(LogOption() + L" a\r\n" + forged + L"\n\x2028" + L"b"), 9u);
    const std::wstring escaped = LogOption() + L" a\\u000D\\u000A" + forged + L"\\u000A\\u2028b";
    EXPECT_EQ(Messages(), t::ProgramEntryRunLog(LogFile(), WorkFolder(), L"recorder.exe", escaped, 9));
}

// ---------------------------------------------------------------------------
// Packages that carry a digest of their cabinet

TEST_F(LauncherRun, PackageWithADigestNeverExpandsChangedOrCutOffBytes) {
    // A cabinet whose bytes changed where it has no checksum of its own (its
    // header and file table) would expand "successfully"; with a digest the
    // copy fails, and no expansion or entry is started.
    std::string cabinet = t::ReadBytes(t::TestData(L"packages\\bat7.cab"));
    ASSERT_GT(cabinet.size(), 200u);
    std::string image = t::ReadBytes(t::StubPath());
    std::string renamed = t::LauncherBytes(image, cabinet, true);
    size_t name = renamed.find(t::Complemented("readme.txt"));
    ASSERT_NE(name, std::string::npos);
    renamed[name] = t::Complemented("R")[0];
    std::string whole = t::LauncherBytes(image, cabinet, true);
    std::string cutOff = whole.substr(0, whole.size() - 100);
    // A record with one bit changed (in its magic, in its zero tail) is
    // damage, not "no record"; so is one that covers less of the cabinet
    // than the cabinet's header says, whatever its digest.
    std::string magic = whole, tail = whole;
    magic[image.size()] ^= 0x08;
    tail[image.size() + 31] ^= 0x08;
    const std::string marked = t::MarkerBytes() + t::Complemented(cabinet);
    std::string partial = image + t::DigestRecord(cabinet.substr(0, 97)) + marked;
    std::string empty = image + t::DigestRecord("") + marked;
    const std::wstring gap = L"Payload damaged: the bytes before the marker are neither padding nor a digest record.";
    const std::wstring length = L"Payload damaged: the cabinet's header and its digest record differ in length.";
    const std::pair<std::string, std::wstring> damages[] = {
        {renamed, L"Payload damaged: the cabinet does not match its digest."},
        {cutOff, L"Payload damaged: the file ends before the cabinet does."},
        {magic, gap}, {tail, gap}, {partial, length}, {empty, length},
    };
    for (const auto& [bytes, cause] : damages) {
        NewLauncherName(scratch_.path());
        ASSERT_TRUE(t::WriteBytes(launcher_, bytes));
        ::DeleteFileW(LogFile().c_str());
        EXPECT_EQ(Run(LogOption()), kPartialCopyFailed);
        std::vector<std::wstring> expected = {L"LOG mode (" + LogFile() + L").", L"TempFolder: " + WorkFolder() + L".",
                                              cause, L"Failed to PartialCopy.", L"return 141950981."};
        EXPECT_EQ(Messages(), expected);
        EXPECT_FALSE(t::Exists(records_ + L"\\setup.bat.txt"));
    }
    // The same package whole, and signed after it was built (a certificate
    // table behind the cabinet), runs; so does one without a record, behind
    // zero padding.
    NewLauncherName(scratch_.path());
    ASSERT_TRUE(t::WriteBytes(launcher_, whole + std::string(1000, '\x5A')));
    EXPECT_EQ(Run(L""), 7u);
    NewLauncherName(scratch_.path());
    ASSERT_TRUE(t::WriteBytes(launcher_, image + std::string(100, '\0') + marked));
    EXPECT_EQ(Run(L""), 7u);
}

// A package with an icon and version information (kesto-pack build --icon
// --version --info, tests/packages/brand_package.cmake) runs as any other,
// and Windows reads its identity from the stub's rewritten resources.
TEST_F(LauncherRun, BrandedPackageRunsAndShowsItsVersionAndIcon) {
    const std::wstring branded = t::TestData(L"packages\\bat7_branded.exe");
    if (!t::Exists(branded)) GTEST_SKIP() << "no bat7_branded.exe: the Linux packer was not built (make native)";
    NewLauncherName(scratch_.path());
    ASSERT_TRUE(::CopyFileW(branded.c_str(), launcher_.c_str(), FALSE));
    EXPECT_EQ(Run(LogOption()), 7u);
    EXPECT_TRUE(t::Exists(records_ + L"\\setup.bat.txt"));
    DWORD ignored = 0;
    std::vector<unsigned char> block(::GetFileVersionInfoSizeW(launcher_.c_str(), &ignored));
    ASSERT_FALSE(block.empty());
    ASSERT_TRUE(::GetFileVersionInfoW(launcher_.c_str(), 0, DWORD(block.size()), block.data()));
    wchar_t* product = nullptr;
    UINT length = 0;
    ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\StringFileInfo\\040904b0\\ProductName", reinterpret_cast<void**>(&product),
                                 &length));
    EXPECT_EQ(std::wstring(product), L"Prod\u00fcct \u2713");
    EXPECT_EQ(::ExtractIconExW(launcher_.c_str(), -1, nullptr, nullptr, 0), 1u);
}

}  // namespace
