// Reliability of the real stub under Wine: many runs in a row, launchers at
// once, faults from outside, damaged packages. Every run is bounded by a
// watchdog, so a hang fails a test instead of stopping it.
//
// The counts come from the environment, small by default (the short versions
// that `make test` runs); `make reliability` (tests/reliability/run.sh) sets
// the long ones. Each test prints one "figure:" line that the script collects:
//   KESTO_SOAK_RUNS (14), KESTO_CONCURRENT_ROUNDS (3), KESTO_AT_ONCE_ROUNDS (2),
//   KESTO_DAMAGED_RUNS (24), KESTO_DAMAGED_SEED (10), KESTO_STAGE_ATTEMPTS (6)
//   KESTO_SMALL_FS_COPY, KESTO_SMALL_FS_EXPAND: Windows paths of two small
//   filesystems (one without room for the cabinet, one without room for the
//   expanded files); the filesystem tests are skipped without them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "launcher/exit_codes.h"
#include "listing.h"
#include "test_support.h"

namespace {

using kesto::test::ScratchFolder;
namespace t = kesto::test;

constexpr DWORD kClosedFromOutside = kesto::kExitInitial;
constexpr DWORD kNoWorkFolder = kesto::kExitTempFolder;
constexpr DWORD kPartialCopyFailed = kesto::kExitPartialCopy;
constexpr DWORD kExpandFailed = kesto::kExitExpand;
constexpr DWORD kNoEntry = kesto::kExitExecBatOrExe;
constexpr DWORD kAccessViolation = 0xC0000005;
constexpr DWORD kWatchdogMs = 120000;

int Count(const char* name, int fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && std::atoi(value) > 0 ? std::atoi(value) : fallback;
}

void Figure(const std::string& text) {
    std::printf("figure: %s\n", text.c_str());
    std::fflush(stdout);
}

// Work folders that runs left behind, over all tests; make reliability
// reports the count and fails unless it is 0.
int g_workFoldersLeft = 0;
class WorkFoldersLeftReport : public ::testing::Environment {
    void TearDown() override {
        std::printf("work folders left behind: %d\n", g_workFoldersLeft);
        std::fflush(stdout);
    }
};
::testing::Environment* const g_workFoldersLeftReport = ::testing::AddGlobalTestEnvironment(new WorkFoldersLeftReport);

// The launcher's log messages as they are formed: a literal text, or a text
// with one value ("%s" any text, "%d" a decimal number).
const wchar_t* const kMessageForms[] = {
    L"LOG mode (%s).", L"TempFolder: %s.", L"ERROR - Failed to create a temporary folder.", L"return %d.",
    L"Failed to PartialCopy.", L"Payload damaged: the cabinet does not match its digest.",
    L"Payload damaged: the file ends before the cabinet does.",
    L"Payload damaged: the bytes before the marker are neither padding nor a digest record.",
    L"Payload damaged: the cabinet's header and its digest record differ in length.",
    L"TempFolder left for deletion at restart: %s.", L"Failed to ExecCab.", L"ExecCab return %d.",
    L"Failed to expand command.",
    L"Failed to ExecBatOrExe.", L"ExecBatOrExe return %d.", L"***unexpredted error1***", L"***unexpredted error2***",
    L"CreateProcess Cmd: %s.", L"CreateProcess Dir: %s.", L"Failed to CreateProcess (%d).",
    L"ShellExecuteEx Path:%s.", L"ShellExecuteEx Param:%s.", L"ShellExecuteEx Verb:%s.", L"ShellExecuteEx Dir:%s.",
    L"  Error - Exec failed (%d).",
};

bool IsMessage(const std::wstring& text) {
    for (const wchar_t* form : kMessageForms) {
        std::wstring pattern = form;
        size_t percent = pattern.find(L'%');
        if (percent == std::wstring::npos) {
            if (text == pattern) return true;
            continue;
        }
        std::wstring head = pattern.substr(0, percent), tail = pattern.substr(percent + 2);
        if (text.size() < head.size() + tail.size() || text.compare(0, head.size(), head) != 0 ||
            text.compare(text.size() - tail.size(), tail.size(), tail) != 0)
            continue;
        std::wstring value = text.substr(head.size(), text.size() - head.size() - tail.size());
        if (pattern[percent + 1] == L's') return true;
        size_t digits = !value.empty() && value[0] == L'-' ? 1 : 0;
        if (value.size() > digits && value.find_first_not_of(L"0123456789", digits) == std::wstring::npos) return true;
    }
    return false;
}

bool IsBanner(const std::wstring& line) {
    return line.size() == 51 && line.compare(0, 19, L"********** Kesto - ") == 0 &&
           line.compare(40, 11, L" **********") == 0;
}

// The runs' messages as indented lines, for a failure's message.
std::string Lines(const std::vector<std::vector<std::wstring>>& runs) {
    std::string lines;
    for (const auto& run : runs)
        for (const std::wstring& line : run) lines += "\n  " + t::Narrow(line);
    return lines;
}

// Checks that a log holds whole runs only: one byte-order mark, then for each
// run a banner, well-formed lines, and "return %d." last. Returns the runs'
// messages, one list a run.
std::vector<std::vector<std::wstring>> WholeRuns(const std::wstring& log) {
    bool mark = false;
    std::vector<std::wstring> lines = t::ReadLogLines(log, &mark);
    std::vector<std::vector<std::wstring>> runs;
    EXPECT_TRUE(mark || lines.empty()) << t::Narrow(log);
    for (const std::wstring& line : lines) {
        EXPECT_EQ(line.find(L'\xFEFF'), std::wstring::npos) << "a second byte-order mark in " << t::Narrow(log);
        if (IsBanner(line)) {
            runs.emplace_back();
            continue;
        }
        std::wstring message = t::WithoutTimePrefix(line);
        EXPECT_TRUE(!runs.empty() && message != line && IsMessage(message))
            << "torn or foreign line in " << t::Narrow(log) << ": " << t::Narrow(line);
        if (!runs.empty()) runs.back().push_back(message);
    }
    for (const auto& run : runs)
        EXPECT_TRUE(!run.empty() && run.back().compare(0, 7, L"return ") == 0) << "a run without its end in "
                                                                              << t::Narrow(log);
    return runs;
}

// A run of the actor package that ends in the entry: every line of the log.
std::vector<std::wstring> ActorRunLog(const std::wstring& log, const std::wstring& work, const std::wstring& tail,
                                      int code) {
    return t::ProgramEntryRunLog(log, work, L"actor.exe", tail, code);
}

// Names registered for deletion at the next restart below folder.
std::vector<std::wstring> PendingBelow(const std::wstring& folder) {
    std::vector<std::wstring> below;
    for (const std::wstring& name : t::PendingRestartDeletions())
        if (_wcsnicmp(name.c_str(), folder.c_str(), folder.size()) == 0) below.push_back(name);
    return below;
}

class Reliability : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(t::StubPath().empty()) << "KESTO_STUB is not set";
        ASSERT_TRUE(t::MakeFolders(temp_));
        ASSERT_TRUE(t::MakeFolders(records_));
    }

    // A launcher file made of the stub and a test package's (possibly
    // changed) cabinet.
    std::wstring MakeLauncher(const std::wstring& package, const std::wstring& name = L"update.exe") {
        std::wstring path = scratch_ / name;
        EXPECT_TRUE(t::ComposeLauncher(path, Cabinet(package)));
        return path;
    }
    static std::wstring Cabinet(const std::wstring& package) { return t::TestData(L"packages\\" + package + L".cab"); }

    t::Child Launch(const std::wstring& launcher, const std::wstring& tail, const std::wstring& temp = L"") const {
        t::Child child;
        child.commandLine = L"\"" + launcher + L"\"" + (tail.empty() ? L"" : L" " + tail);
        child.currentDirectory = scratch_.path();
        child.temp = temp.empty() ? temp_ : temp;
        child.environment = {{L"KESTO_RECORD_DIR", records_}};
        child.timeoutMs = kWatchdogMs;
        return child;
    }

    DWORD Run(const std::wstring& launcher, const std::wstring& tail, const std::wstring& temp = L"") const {
        t::ChildProcess run(Launch(launcher, tail, temp));
        return run.Wait();  // a launcher that could not start fails the test, with the reason
    }

    // Nothing left of any run below temp: no folder, no restart registration.
    void ExpectNothingLeft(const std::wstring& temp, const std::string& what) const {
        std::vector<std::wstring> left;
        kesto::listing::CollectFiles(temp, L"", left);
        for (const std::wstring& name : t::ListFolder(temp)) {
            left.push_back(name);
            g_workFoldersLeft += name.compare(0, 5, L"QzEXF") == 0;
        }
        EXPECT_TRUE(left.empty()) << what << ": left under the temporary path: " << t::Narrow(left.front())
                                  << (left.size() > 1 ? " and more" : "");
        EXPECT_TRUE(PendingBelow(temp).empty()) << what << ": registered for deletion at restart";
    }

    std::wstring Log(const std::wstring& name) const { return scratch_ / (name + L"-sfxlog.log"); }
    std::wstring LogOption(const std::wstring& name) const { return L"/LOG:" + (scratch_ / name); }

    ScratchFolder scratch_{L"rel"};
    std::wstring temp_ = scratch_ / L"temp";
    std::wstring records_ = scratch_ / L"records";
};

// ---------------------------------------------------------------------------
// Soak: runs in a row of entries that succeed and fail, programs, batch files
// and command scripts, and programs that end with files still open.

TEST_F(Reliability, SoakRunsInARow) {
    struct Kind {
        const wchar_t* package;
        const wchar_t* tail;
        DWORD code;
    };
    const Kind kinds[] = {
        {L"bat7", L"", 7},
        {L"actor", L"--exit=0", 0},
        {L"actor", L"--leave-open --exit=3", 3},
        {L"exe_only", L"", 9},
        {L"precedence_cmd_exe", L"", 12},
        {L"bat_code_passthrough", L"", 141950981},
        {L"no_entry", L"", kNoEntry},
    };
    std::map<std::wstring, std::wstring> launchers;
    for (const Kind& kind : kinds) launchers[kind.package] = MakeLauncher(kind.package, std::wstring(kind.package) + L".exe");

    int runs = Count("KESTO_SOAK_RUNS", 14), good = 0;
    for (int i = 0; i < runs; ++i) {
        const Kind& kind = kinds[i % (sizeof(kinds) / sizeof(kinds[0]))];
        std::wstring name = L"soak-" + std::to_wstring(i);
        std::string what = "run " + std::to_string(i) + " (" + t::Narrow(kind.package) + ")";
        std::wstring tail = LogOption(name) + (kind.tail[0] != L'\0' ? L" " + std::wstring(kind.tail) : L"");
        DWORD code = Run(launchers[kind.package], tail);
        EXPECT_EQ(code, kind.code) << what;
        std::vector<std::vector<std::wstring>> logged = WholeRuns(Log(name));
        bool complete = logged.size() == 1 && logged[0].back() == L"return " + std::to_wstring(int(kind.code)) + L".";
        EXPECT_TRUE(complete) << what << ": the log differs:" << Lines(logged);
        ExpectNothingLeft(temp_, what);
        good += code == kind.code && complete && t::ListFolder(temp_).empty();
        t::RemoveTreeWhenReleased(records_);
        t::MakeFolders(records_);
        if (::testing::Test::HasFailure()) break;
    }
    Figure("soak runs=" + std::to_string(runs) + " as_expected=" + std::to_string(good));
}

// ---------------------------------------------------------------------------
// Launchers at once

// Four launchers of one file (so one log lock), each with its own log and
// temporary path, started together, round after round.
TEST_F(Reliability, FourLaunchersOfOneFileRoundAfterRound) {
    std::wstring launcher = MakeLauncher(L"actor");
    int rounds = Count("KESTO_CONCURRENT_ROUNDS", 3), good = 0;
    for (int round = 0; round < rounds; ++round) {
        std::vector<std::unique_ptr<t::ChildProcess>> running;
        std::vector<std::wstring> tails;
        for (int k = 0; k < 4; ++k) {
            std::wstring name = L"r" + std::to_wstring(round) + L"-" + std::to_wstring(k);
            tails.push_back(LogOption(name) + L" --exit=" + std::to_wstring(20 + k));
            running.push_back(
                std::make_unique<t::ChildProcess>(Launch(launcher, tails.back(), temp_ + std::to_wstring(k))));
        }
        for (int k = 0; k < 4; ++k) {
            std::wstring name = L"r" + std::to_wstring(round) + L"-" + std::to_wstring(k);
            std::string what = "round " + std::to_string(round) + ", launcher " + std::to_string(k);
            DWORD code = running[k]->Wait();
            EXPECT_EQ(code, DWORD(20 + k)) << what;
            std::vector<std::vector<std::wstring>> logged = WholeRuns(Log(name));
            std::wstring work = temp_ + std::to_wstring(k) + L"\\QzEXF0000";
            bool exact = logged.size() == 1 && logged[0] == ActorRunLog(Log(name), work, tails[k], 20 + k);
            EXPECT_TRUE(exact) << what << ": log differs";
            ExpectNothingLeft(temp_ + std::to_wstring(k), what);
            good += code == DWORD(20 + k) && exact;
        }
        if (::testing::Test::HasFailure()) break;
    }
    Figure("concurrent rounds=" + std::to_string(rounds) + " launchers=4 as_expected=" + std::to_string(good) + "/" +
           std::to_string(4 * rounds));
}

// Four launchers naming one log file: the first to open it keeps it for its
// whole run, and the others, which start while it runs, run without a log.
TEST_F(Reliability, SharedLogBelongsToItsFirstOpenerAlone) {
    std::wstring launcher = MakeLauncher(L"actor");
    std::wstring tail = LogOption(L"shared") + L" --started --wait --exit=6";
    std::vector<std::unique_ptr<t::ChildProcess>> running;
    for (int k = 0; k < 4; ++k)
        running.push_back(std::make_unique<t::ChildProcess>(Launch(launcher, tail, temp_ + std::to_wstring(k))));
    for (int k = 0; k < 4; ++k) {
        std::wstring work = temp_ + std::to_wstring(k) + L"\\QzEXF0000";
        EXPECT_TRUE(t::WaitUntil([&] { return t::Exists(work + L"\\started.txt"); })) << "launcher " << k;
    }
    for (int k = 0; k < 4; ++k) t::WriteText(temp_ + std::to_wstring(k) + L"\\QzEXF0000\\release.txt", "go");
    for (int k = 0; k < 4; ++k) EXPECT_EQ(running[k]->Wait(), 6u) << "launcher " << k;

    std::vector<std::vector<std::wstring>> logged = WholeRuns(Log(L"shared"));
    ASSERT_EQ(logged.size(), 1u) << "more than one launcher wrote the shared log";
    int owner = -1;
    for (int k = 0; k < 4; ++k) {
        std::wstring work = temp_ + std::to_wstring(k) + L"\\QzEXF0000";
        if (logged[0] == ActorRunLog(Log(L"shared"), work, tail, 6)) owner = k;
        ExpectNothingLeft(temp_ + std::to_wstring(k), "launcher " + std::to_string(k));
    }
    EXPECT_NE(owner, -1) << "the shared log holds no whole run of one launcher";
    Figure("shared_log launchers=4 runs_in_log=" + std::to_string(logged.size()));
}

// Eight launchers released in the same instant, all with one temporary path:
// each gets a work folder of its own.
TEST_F(Reliability, EightStartedAtOnceEachGetTheirOwnWorkFolder) {
    std::wstring launcher = MakeLauncher(L"actor");
    int rounds = Count("KESTO_AT_ONCE_ROUNDS", 2), good = 0, folderFailures = 0;
    for (int round = 0; round < rounds; ++round) {
        std::vector<std::unique_ptr<t::ChildProcess>> running;
        for (int k = 0; k < 8; ++k) {
            std::wstring tail = LogOption(L"o" + std::to_wstring(round) + L"-" + std::to_wstring(k)) + L" --exit=0";
            t::Child child = Launch(launcher, tail);
            child.suspended = true;
            running.push_back(std::make_unique<t::ChildProcess>(child));
        }
        for (auto& run : running) run->Resume();
        std::map<std::wstring, int> folders;
        for (int k = 0; k < 8; ++k) {
            std::wstring name = L"o" + std::to_wstring(round) + L"-" + std::to_wstring(k);
            DWORD code = running[k]->Wait();
            std::vector<std::vector<std::wstring>> logged = WholeRuns(Log(name));
            EXPECT_EQ(code, 0u) << "round " << round << ", launcher " << k << ", its log:" << Lines(logged);
            folderFailures += code == kNoWorkFolder;
            if (logged.size() == 1 && logged[0].size() > 1 && logged[0][1].compare(0, 12, L"TempFolder: ") == 0)
                ++folders[logged[0][1]];
            good += code == 0;
        }
        for (const auto& folder : folders) EXPECT_EQ(folder.second, 1) << "shared: " << t::Narrow(folder.first);
        ExpectNothingLeft(temp_, "round " + std::to_string(round));
    }
    Figure("at_once rounds=" + std::to_string(rounds) + " launchers=8 as_expected=" + std::to_string(good) + "/" +
           std::to_string(8 * rounds) + " work_folder_failures=" + std::to_string(folderFailures));
}

// ---------------------------------------------------------------------------
// Faults

// A temporary path on a filesystem that fills up: during the copy of the
// payload (the copy fails) or during the expansion (the expansion fails). The
// entry never starts, and the partial files go with the work folder.
TEST_F(Reliability, TemporaryPathThatFillsUp) {
    std::wstring copyFs = t::EnvironmentPath("KESTO_SMALL_FS_COPY"), expandFs = t::EnvironmentPath("KESTO_SMALL_FS_EXPAND");
    if (!t::Exists(copyFs + L".ready") || !t::Exists(expandFs + L".ready"))
        GTEST_SKIP() << "no small filesystems mounted (tests/reliability/small-fs.sh needs the right to mount)";
    std::wstring launcher = MakeLauncher(L"stages");
    struct Case {
        std::wstring fs;
        DWORD code;
        std::vector<std::wstring> lastLines;  // "" stands for any "ExecCab return" but 0
    };
    const Case cases[] = {
        {copyFs, kPartialCopyFailed, {L"Failed to PartialCopy.", L"return 141950981."}},
        {expandFs, kExpandFailed, {L"", L"Failed to expand command.", L"return 141950983."}},
    };
    int good = 0;
    for (const Case& fault : cases) {
        std::string what = t::Narrow(fault.fs);
        std::wstring tail = LogOption(L"full") + L" --list=" + (records_ + L"\\list.txt");
        ::DeleteFileW(Log(L"full").c_str());
        EXPECT_EQ(Run(launcher, tail, fault.fs), fault.code) << what;
        std::vector<std::vector<std::wstring>> logged = WholeRuns(Log(L"full"));
        ASSERT_EQ(logged.size(), 1u);
        const std::vector<std::wstring>& messages = logged[0];
        ASSERT_GE(messages.size(), 2 + fault.lastLines.size()) << what;
        EXPECT_EQ(messages[1], L"TempFolder: " + fault.fs + L"\\QzEXF0000.");
        for (size_t i = 0; i < fault.lastLines.size(); ++i) {
            const std::wstring& line = messages[messages.size() - fault.lastLines.size() + i];
            if (fault.lastLines[i].empty()) {
                EXPECT_TRUE(line.compare(0, 15, L"ExecCab return ") == 0 && line != L"ExecCab return 0.")
                    << what << ": " << t::Narrow(line);
            } else {
                EXPECT_EQ(line, fault.lastLines[i]) << what;
            }
        }
        EXPECT_FALSE(t::Exists(records_ + L"\\list.txt")) << what << ": the entry started";
        ExpectNothingLeft(fault.fs, what);
        good += !::testing::Test::HasFailure();
    }
    Figure("fault full_filesystem cases=2 as_expected=" + std::to_string(good));
}

// A work folder that cannot be deleted (a file in it held open without
// delete sharing by a process the entry left running): the exit code and the
// log are the entry's run as usual with one line more (the folder left for
// the restart), and what is left is registered for deletion at the next
// restart, the folder last.
TEST_F(Reliability, WorkFolderThatCannotBeDeletedIsLeftForTheRestart) {
    std::wstring launcher = MakeLauncher(L"actor");
    std::wstring release = scratch_ / L"release-holder";
    std::wstring tail = LogOption(L"held") + L" --hold=" + release + L" --exit=4";
    std::wstring work = temp_ + L"\\QzEXF0000";
    EXPECT_EQ(Run(launcher, tail), 4u);
    std::vector<std::vector<std::wstring>> logged = WholeRuns(Log(L"held"));
    ASSERT_EQ(logged.size(), 1u);
    std::vector<std::wstring> expected = ActorRunLog(Log(L"held"), work, tail, 4);
    expected.insert(expected.end() - 1, L"TempFolder left for deletion at restart: " + work + L".");
    EXPECT_EQ(logged[0], expected);

    EXPECT_TRUE(t::Exists(work + L"\\held.dat"));
    std::vector<std::wstring> pending = PendingBelow(work);
    ASSERT_FALSE(pending.empty()) << "nothing registered for the restart";
    EXPECT_EQ(pending.back(), work);
    bool heldRegistered = false;
    for (const std::wstring& name : pending) heldRegistered |= name == work + L"\\held.dat";
    EXPECT_TRUE(heldRegistered);
    // Every file still there is registered.
    std::vector<std::wstring> files;
    kesto::listing::CollectFiles(work, L"", files);
    for (const std::wstring& file : files) {
        bool registered = false;
        for (const std::wstring& name : pending) registered |= name == work + L"\\" + file;
        EXPECT_TRUE(registered) << "left and not registered: " << t::Narrow(file);
    }
    t::WriteText(release, "go");
    EXPECT_TRUE(t::RemoveTreeWhenReleased(work));
    Figure("fault undeletable_work_folder registered_for_restart=" + std::to_string(pending.size()) +
           " as_expected=" + std::to_string(::testing::Test::HasFailure() ? 0 : 1));
}

// An entry that crashes: its exception code is the launcher's exit code.
// (The test prefix starts no debugger, or the crashed entry would wait on it
// and the launcher with it.)
TEST_F(Reliability, CrashingEntryEndsTheRunWithItsCode) {
    std::wstring launcher = MakeLauncher(L"actor");
    std::wstring tail = LogOption(L"crash") + L" --crash";
    EXPECT_EQ(Run(launcher, tail), kAccessViolation);
    std::vector<std::vector<std::wstring>> logged = WholeRuns(Log(L"crash"));
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0], ActorRunLog(Log(L"crash"), temp_ + L"\\QzEXF0000", tail, int(kAccessViolation)));
    ExpectNothingLeft(temp_, "crash");
    Figure("fault crashing_entry as_expected=" + std::to_string(::testing::Test::HasFailure() ? 0 : 1));
}

// The window closed from outside, or the session ended, in each stage that
// lasts: the copy, the expansion, the entry. The launcher waits for a running
// child, ends with 0x08760000 and leaves nothing behind. A stage is hit by
// acting as soon as its trace shows in the work folder; the log tells where
// the close landed, and an attempt that landed elsewhere is repeated.
TEST_F(Reliability, ClosedOrSessionEndedInEachStage) {
    std::wstring launcher = MakeLauncher(L"stages");
    std::wstring work = temp_ + L"\\QzEXF0000";
    struct Stage {
        const char* name;
        std::wstring trace;  // appears in the work folder once the stage runs
        size_t processLines;  // "CreateProcess Dir:" lines logged when closed there
    };
    const Stage stages[] = {
        {"copy", work + L"\\MyData.cab", 0},
        {"expansion", work + L"\\a-first.txt", 1},
        {"entry", work + L"\\started.txt", 2},
    };
    int attemptsAllowed = Count("KESTO_STAGE_ATTEMPTS", 6), hits = 0, attempts = 0;
    for (const Stage& stage : stages) {
        for (bool endSession : {false, true}) {
            std::string what = std::string(stage.name) + (endSession ? ", session ended" : ", closed");
            bool hit = false;
            std::string landed;  // where each attempt's close landed
            for (int attempt = 0; attempt < attemptsAllowed && !hit; ++attempt) {
                ++attempts;
                ::DeleteFileW(Log(L"stage").c_str());
                std::wstring tail = LogOption(L"stage") + L" --started --wait --exit=8";
                t::ChildProcess run(Launch(launcher, tail));
                ASSERT_TRUE(run.started());
                ASSERT_TRUE(t::WaitUntil([&] { return t::Exists(stage.trace); })) << what;
                HWND window = t::FindStageWindow(run.pid());
                ASSERT_NE(window, nullptr) << what;
                if (endSession) {
                    // The launcher never objects to the session ending. (Asked
                    // only while the entry runs: waiting for the answer would
                    // let the earlier stages go by.)
                    DWORD_PTR answer = 0;
                    if (stage.processLines == 2) {
                        EXPECT_NE(::SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, 0, SMTO_ABORTIFHUNG, 5000,
                                                        &answer), 0);
                        EXPECT_EQ(answer, DWORD_PTR(TRUE)) << what;
                    }
                    ::SendNotifyMessageW(window, WM_ENDSESSION, TRUE, 0);
                } else {
                    ::PostMessageW(window, WM_CLOSE, 0, 0);
                }
                // A running entry is waited for, never ended.
                if (stage.processLines == 2) {
                    EXPECT_FALSE(run.EndsWithin(1000)) << what;
                }
                // Should the entry have started after all, it is let go.
                bool released = false;
                for (DWORD waited = 0; waited < kWatchdogMs && !run.EndsWithin(50); waited += 50) {
                    if (!released && t::Exists(work + L"\\started.txt"))
                        released = t::WriteText(work + L"\\release.txt", "go");
                }
                EXPECT_EQ(run.Wait(0), kClosedFromOutside) << what;
                std::vector<std::vector<std::wstring>> logged = WholeRuns(Log(L"stage"));
                ASSERT_EQ(logged.size(), 1u) << what;
                const std::vector<std::wstring>& messages = logged[0];
                ASSERT_GE(messages.size(), 3u) << what;
                EXPECT_EQ(messages.back(), L"return 141950976.") << what;
                size_t processLines = 0;
                for (const std::wstring& message : messages)
                    processLines += message.compare(0, 19, L"CreateProcess Dir: ") == 0;
                const std::wstring& beforeEnd = messages[messages.size() - 2];
                std::wstring expectedBefore = processLines == 0 ? L"TempFolder: " : L"CreateProcess Dir: ";
                hit = processLines == stage.processLines && beforeEnd.compare(0, expectedBefore.size(), expectedBefore) == 0;
                landed += " [" + std::to_string(processLines) + " " + t::Narrow(beforeEnd.substr(0, 22)) + "]";
                ExpectNothingLeft(temp_, what);
                t::RemoveTreeWhenReleased(temp_);
                t::MakeFolders(temp_);
            }
            EXPECT_TRUE(hit) << what << ": the close never landed in this stage:" << landed;
            hits += hit;
        }
    }
    Figure("fault closed_or_session_ended stages=3 ways=2 landed=" + std::to_string(hits) + "/6 attempts=" +
           std::to_string(attempts));
}

// ---------------------------------------------------------------------------
// Damaged packages: launcher files of one package, each with the digest
// record the packer writes, with bytes of the payload flipped, cut off or
// added at seeded random places, or (one in four) a byte of the record
// itself changed. Each run ends by itself. A changed payload never reaches
// the expansion: the copy checks it against the record and the run ends with
// 0x08760005 and a line that names the cause. A changed record either still
// reads as one (its length or digest then differs: the same failure) or no
// longer does (the package then runs as one made without a record, from
// exactly its files). The entry never starts from changed files, and nothing
// is left behind.
//
// Without the record, the expansion checks only the data blocks' checksums:
// a change in the cabinet's header or file table (which have none) can
// rename a file or point it at other bytes of the same data, and the entry
// then ran from other, complete files.

// Where the cabinet's data blocks begin: behind the header and the tables
// (the first folder's coffCabStart, at offset 36 without reserved fields).
size_t DataBlocksStart(const std::string& cabinet) {
    if (cabinet.size() < 40) return cabinet.size();
    size_t start = 0;
    for (int i = 3; i >= 0; --i) start = (start << 8) | static_cast<unsigned char>(cabinet[36 + i]);
    return std::min(start, cabinet.size());
}

TEST_F(Reliability, DamagedPackagesNeverStartAnEntryFromChangedFiles) {
    std::string cabinet = t::ReadBytes(Cabinet(L"actor"));
    ASSERT_FALSE(cabinet.empty());
    size_t tables = DataBlocksStart(cabinet);
    ASSERT_GT(tables, 36u);
    const std::string stub = t::ReadBytes(t::StubPath());
    const std::string record = t::DigestRecord(cabinet);
    std::string original = kesto::listing::FolderListing(t::TestData(L"packages\\actor"));
    int runs = Count("KESTO_DAMAGED_RUNS", 24);
    unsigned seed = unsigned(Count("KESTO_DAMAGED_SEED", 10));
    std::mt19937 random(seed);
    std::map<std::string, int> outcomes;
    for (int i = 0; i < runs; ++i) {
        // Every other package is changed in its first bytes only: the
        // header, the tables and the start of the data.
        size_t span = i % 2 == 0 ? cabinet.size() : std::min<size_t>(cabinet.size(), tables + 64);
        std::string damaged = cabinet, damagedRecord = record;
        std::string change;
        size_t first = random() % span, last = first;
        if (i % 4 == 3) {
            size_t at = random() % damagedRecord.size();
            damagedRecord[at] = char(damagedRecord[at] ^ (1 + random() % 255));
            change = "record byte " + std::to_string(at) + " changed";
        } else {
            switch (i % 3) {
            case 0: {  // flip one to four bytes
                int count = 1 + int(random() % 4);
                for (int k = 0; k < count; ++k) {
                    size_t at = k == 0 ? first : random() % span;
                    damaged[at] = char(damaged[at] ^ (1 + random() % 255));
                    first = std::min(first, at);
                    last = std::max(last, at);
                }
                change = "flipped " + std::to_string(count) + " from " + std::to_string(first) + " to " +
                         std::to_string(last);
                break;
            }
            case 1:
                damaged.resize(first);
                change = "cut at " + std::to_string(first);
                break;
            default: {
                std::string added(1 + random() % 64, '\0');
                for (char& c : added) c = char(random());
                damaged.insert(first, added);
                change = "added " + std::to_string(added.size()) + " at " + std::to_string(first);
                break;
            }
            }
            change += first < tables ? " (header and tables)" : " (data blocks)";
        }
        std::string what = "package " + std::to_string(i) + " (" + change + ")";
        // A file of its own for each: Wine may still hold the image of the
        // launcher that has just ended, and one rewritten in place then at
        // times cannot start.
        std::wstring launcher = scratch_ / (L"damaged-" + std::to_wstring(i) + L".exe");
        ASSERT_TRUE(t::WriteBytes(launcher, stub + damagedRecord + t::MarkerBytes() + t::Complemented(damaged)));
        std::wstring list = records_ + L"\\list.txt";
        ::DeleteFileW(list.c_str());
        ::DeleteFileW(Log(L"damaged").c_str());
        DWORD code = Run(launcher, LogOption(L"damaged") + L" --list=" + list + L" --exit=42");
        std::vector<std::vector<std::wstring>> logged = WholeRuns(Log(L"damaged"));
        EXPECT_EQ(logged.size(), 1u) << what;
        std::vector<std::wstring> tail;
        if (logged.size() == 1 && logged[0].size() >= 3) tail.assign(logged[0].end() - 3, logged[0].end() - 1);
        if (code == kPartialCopyFailed) {
            ASSERT_EQ(tail.size(), 2u) << what;
            EXPECT_EQ(tail[1], L"Failed to PartialCopy.") << what;
            const std::pair<const wchar_t*, const char*> causes[] = {
                {L"Payload damaged: the cabinet does not match its digest.", "copy failed, digest differs"},
                {L"Payload damaged: the file ends before the cabinet does.", "copy failed, file ends early"},
                {L"Payload damaged: the bytes before the marker are neither padding nor a digest record.",
                 "copy failed, record damaged"},
                {L"Payload damaged: the cabinet's header and its digest record differ in length.",
                 "copy failed, lengths differ"},
            };
            bool known = false;
            for (const auto& [cause, outcome] : causes) {
                if (tail[0] != cause) continue;
                known = true;
                ++outcomes[outcome];
            }
            EXPECT_TRUE(known) << what << ": " << t::Narrow(tail[0]);
        } else if (code == 42) {
            // A damaged record is damage too: a run goes on only from exactly
            // the package's files.
            EXPECT_EQ(damaged, cabinet) << what << ": the entry ran from a changed payload";
            EXPECT_EQ(t::ReadBytes(list), original) << what << ": the entry ran from other files";
            ++outcomes["entry ran from the package's files"];
        } else {
            ADD_FAILURE() << what << ": exit code " << code << ", its log:" << Lines(logged);
            ++outcomes["exit code " + std::to_string(code)];
        }
        if (code != 42) {
            EXPECT_FALSE(t::Exists(list)) << what << ": an entry started and did not end with its code";
        }
        ExpectNothingLeft(temp_, what);
        t::RemoveTreeWhenReleased(temp_);
        t::MakeFolders(temp_);
        ::DeleteFileW(launcher.c_str());
    }
    std::string summary;
    for (const auto& outcome : outcomes) summary += " [" + outcome.first + "]=" + std::to_string(outcome.second);
    Figure("damaged runs=" + std::to_string(runs) + " seed=" + std::to_string(seed) + summary);
}

}  // namespace
