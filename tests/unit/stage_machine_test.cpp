// The stage machine in whole runs: each stage's result is chosen by the test,
// and the children it waits for are real processes (this same program,
// started in its child role).
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cwchar>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "in_process.h"
#include "launcher/exit_codes.h"
#include "launcher/launcher.h"
#include "launcher/run_state.h"
#include "launcher/stage_machine.h"
#include "platform/syscalls.h"
#include "process/exec.h"
#include "test_support.h"

namespace kesto {
namespace {

// The children are this program in the role "end": EXITCODE [EVENT] ends
// with EXITCODE, once the named event is set when one is named.
DWORD EndWhenReleased(const std::vector<std::wstring>& arguments) {
    if (arguments.empty()) return ~0u;
    if (arguments.size() > 1) {
        HANDLE release = ::OpenEventW(SYNCHRONIZE, FALSE, arguments[1].c_str());
        if (release != nullptr) ::WaitForSingleObject(release, test::kChildTimeoutMs);
    }
    return DWORD(std::wcstoul(arguments[0].c_str(), nullptr, 10));
}
const test::ChildRole kEndRole(L"end", EndWhenReleased);

// A child process that ends with a chosen exit code, at once or only once it
// is released. The test keeps a handle of its own, so that it can still look
// at the child after the launcher has closed the one it was given.
//
// A child that waits is watched through a close of the stage window (WM_CLOSE,
// or WM_ENDSESSION for a session that ends): a launcher that waits for it
// destroys the window only once it has ended. It is released when the
// launcher, having taken the close, has not destroyed the window within
// kPatienceMs, and never after: a launcher that does not wait finds it still
// running. Another thread cannot see the launcher's wait itself; the bound
// only limits how slow a launcher that does not wait may be and go unnoticed,
// and never fails one that waits.
class TestChild {
public:
    TestChild(DWORD exitCode, bool waitForRelease)
        : name_(waitForRelease ? NewEventName() : L""),
          release_(waitForRelease ? ::CreateEventW(nullptr, TRUE, FALSE, name_.c_str()) : nullptr),
          process_(Ending(exitCode, name_)) {
        std::lock_guard<std::mutex> lock(closeMutex_);
        if (waitForRelease) watched_.push_back(this);
    }
    ~TestChild() {
        KeepFromClose();
        ::SetEvent(windowGone_);
        if (releaser_.joinable()) releaser_.join();
        Release();
        process_.Wait();
        if (release_ != nullptr) ::CloseHandle(release_);
        ::CloseHandle(windowGone_);
    }
    TestChild(const TestChild&) = delete;
    TestChild& operator=(const TestChild&) = delete;

    // A handle of its own for the stage machine, which closes it.
    HANDLE HandleForLauncher() const {
        HANDLE copy = nullptr;
        ::DuplicateHandle(::GetCurrentProcess(), process_.handle(), ::GetCurrentProcess(), &copy, 0, FALSE,
                          DUPLICATE_SAME_ACCESS);
        return copy;
    }
    void Release() {
        if (release_ != nullptr) ::SetEvent(release_);
    }
    bool EndedBeforeTheWindowWent() const { return endedBeforeTheWindowWent_; }
    // Called as the stage window takes a close, and as the launcher destroys it.
    static void OnClose(bool going) {
        std::lock_guard<std::mutex> lock(closeMutex_);
        for (TestChild* child : watched_) {
            if (going) {
                child->endedBeforeTheWindowWent_ = child->HasEnded();
                ::SetEvent(child->windowGone_);
            } else if (!child->releaser_.joinable()) {
                child->releaser_ = std::thread([child] {
                    if (::WaitForSingleObject(child->windowGone_, kPatienceMs) == WAIT_TIMEOUT) child->Release();
                });
            }
        }
    }
    bool Started() const { return process_.started(); }
    bool HasEnded() const { return process_.EndsWithin(0); }
    DWORD ExitCode() const { return process_.ExitCode(); }

private:
    static std::wstring NewEventName() {
        static std::atomic<unsigned> counter{0};
        return L"kesto-stage-test-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(counter++);
    }
    static test::Child Ending(DWORD exitCode, const std::wstring& event) {
        std::vector<std::wstring> arguments = {std::to_wstring(exitCode)};
        if (!event.empty()) arguments.push_back(event);
        test::Child child;
        child.commandLine = kEndRole.CommandLine(arguments);
        child.timeoutMs = 60000;
        return child;
    }

    void KeepFromClose() {
        std::lock_guard<std::mutex> lock(closeMutex_);
        watched_.erase(std::remove(watched_.begin(), watched_.end(), this), watched_.end());
    }

    std::wstring name_;
    HANDLE release_;
    test::ChildProcess process_;
    static constexpr DWORD kPatienceMs = 500;
    HANDLE windowGone_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread releaser_;
    bool endedBeforeTheWindowWent_ = false;
    static std::mutex closeMutex_;
    static std::vector<TestChild*> watched_;
};
std::mutex TestChild::closeMutex_;
std::vector<TestChild*> TestChild::watched_;

// The stage window's own procedure, behind one that tells the children to be
// released on a close when the window takes one.
WNDPROC g_stageProcedure = nullptr;
LRESULT CALLBACK WatchedStageProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CLOSE || (message == WM_ENDSESSION && wParam)) TestChild::OnClose(false);
    return ::CallWindowProcW(g_stageProcedure, window, message, wParam, lParam);
}
BOOL WINAPI NotedDestroyWindow(HWND window) {
    TestChild::OnClose(true);
    return ::DestroyWindow(window);
}

// Ends this program should a test hang, instead of letting it wait for ever.
class Watchdog {
public:
    Watchdog() : done_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)), thread_([this] { Watch(); }) {}
    ~Watchdog() {
        ::SetEvent(done_);
        thread_.join();
        ::CloseHandle(done_);
    }

private:
    void Watch() {
        if (::WaitForSingleObject(done_, 60000) != WAIT_TIMEOUT) return;
        std::fputs("The test hung and was ended by its watchdog.\n", stderr);
        std::fflush(stderr);
        ::TerminateProcess(::GetCurrentProcess(), 3);
    }
    HANDLE done_;
    std::thread thread_;
};

// The stages the run sees: each call is recorded, then answered by the test.
std::vector<std::wstring> g_calls;
std::function<bool()> g_partialCopy;
std::function<HANDLE()> g_execCab;
std::function<HANDLE()> g_execBatOrExe;
std::function<bool(DWORD*)> g_poll;

HWND OwnStageWindow();

bool RecordedPartialCopy() {
    g_calls.push_back(L"PartialCopy");
    g_stageProcedure = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrW(OwnStageWindow(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(WatchedStageProcedure)));
    return g_partialCopy();
}
HANDLE RecordedExecCab() {
    g_calls.push_back(L"ExecCab");
    return g_execCab();
}
HANDLE RecordedExecBatOrExe() {
    g_calls.push_back(L"ExecBatOrExe");
    return g_execBatOrExe();
}
bool RecordedPoll(DWORD* exitCode) {
    g_calls.push_back(L"Poll");
    return g_poll(exitCode);
}

int g_setTimerCalls = 0;
std::function<void()> g_onFailedTimer;
UINT_PTR WINAPI FailingSetTimer(HWND, UINT_PTR, UINT, TIMERPROC) {
    ++g_setTimerCalls;
    if (g_onFailedTimer) std::exchange(g_onFailedTimer, nullptr)();
    return 0;
}

HWND OwnStageWindow() {
    HWND window = test::FindStageWindow(::GetCurrentProcessId());
    EXPECT_NE(window, nullptr);
    return window;
}

void PostToStageWindow(UINT message, WPARAM wParam = 0) { ::PostMessageW(OwnStageWindow(), message, wParam, 0); }

std::wstring ReturnLine(DWORD exitCode) { return L"return " + std::to_wstring(int(exitCode)) + L"."; }

class StageMachine : public ::testing::Test {
protected:
    StageMachine() {
        test::MakeFolders(temp_);
        test::UseTempPath(temp_);
        g_setTimerCalls = 0;
        g_stages = {RecordedPartialCopy, RecordedExecCab, RecordedExecBatOrExe, RecordedPoll};
        g_sys.DestroyWindow = NotedDestroyWindow;
        g_calls.clear();
        // A run that goes well: the expansion and the entry end at once with 0.
        g_partialCopy = [] { return true; };
        g_execCab = [this] { return NewChild(0).HandleForLauncher(); };
        g_execBatOrExe = [this] { return NewChild(0).HandleForLauncher(); };
        g_poll = [](DWORD* exitCode) { return PollChildProcess(exitCode); };
    }

    TestChild& NewChild(DWORD exitCode, bool waitForRelease = false) {
        children_.push_back(std::make_unique<TestChild>(exitCode, waitForRelease));
        EXPECT_TRUE(children_.back()->Started());
        return *children_.back();
    }

    // One whole run with a log of its own; options go behind "/LOG:".
    int Run(const std::wstring& options = L"") {
        logBase_ = scratch_ / (L"run" + std::to_wstring(++runs_));
        std::wstring tail = L"/LOG:" + logBase_;
        if (!options.empty()) tail += L" " + options;
        return test::RunInProcess(scratch_ / L"kesto.exe", tail);
    }

    std::vector<std::wstring> Log() const { return test::LogMessages(logBase_ + L"-sfxlog.log"); }

    // The whole log of the last run, given what its stages logged.
    std::vector<std::wstring> Expected(const std::vector<std::wstring>& stageLines, DWORD exitCode,
                                       const std::wstring& workFolder = L"") const {
        std::vector<std::wstring> lines = {
            L"LOG mode (" + logBase_ + L"-sfxlog.log).",
            L"TempFolder: " + (workFolder.empty() ? temp_ + L"\\QzEXF0000" : workFolder) + L".",
        };
        lines.insert(lines.end(), stageLines.begin(), stageLines.end());
        lines.push_back(ReturnLine(exitCode));
        return lines;
    }

    // The stage calls so far, repeated polls counted once.
    static std::vector<std::wstring> Stages() {
        std::vector<std::wstring> stages;
        for (const std::wstring& call : g_calls) {
            if (stages.empty() || stages.back() != call) stages.push_back(call);
        }
        return stages;
    }

    static bool EntryStarted() {
        for (const std::wstring& call : g_calls) {
            if (call == L"ExecBatOrExe") return true;
        }
        return false;
    }

    test::OverrideScope overrides_;
    test::ScratchFolder scratch_{L"stage"};
    std::wstring temp_ = scratch_ / L"temp";
    std::wstring logBase_;
    int runs_ = 0;
    std::vector<std::unique_ptr<TestChild>> children_;
    Watchdog watchdog_;
};

// ---------------------------------------------------------------------------
// Each stage's failure: its exit code, its log lines, and no later stage.

class StageFailures : public StageMachine {};

TEST_F(StageFailures, PartialCopyFailing) {
    g_partialCopy = [] { return false; };
    EXPECT_EQ(Run(), int(kExitPartialCopy));
    EXPECT_EQ(Log(), Expected({L"Failed to PartialCopy."}, kExitPartialCopy));
    EXPECT_EQ(Stages(), (std::vector<std::wstring>{L"PartialCopy"}));
}

TEST_F(StageFailures, ExpansionNotStarted) {
    g_execCab = [] { return HANDLE(nullptr); };
    EXPECT_EQ(Run(), int(kExitExecCab));
    EXPECT_EQ(Log(), Expected({L"Failed to ExecCab."}, kExitExecCab));
    EXPECT_EQ(Stages(), (std::vector<std::wstring>{L"PartialCopy", L"ExecCab"}));
}

TEST_F(StageFailures, ExpansionEndingWithTwoLooksForNoEntry) {
    g_execCab = [this] { return NewChild(2).HandleForLauncher(); };
    EXPECT_EQ(Run(), int(kExitExpand));
    EXPECT_EQ(Log(), Expected({L"ExecCab return 2.", L"Failed to expand command."}, kExitExpand));
    EXPECT_EQ(Stages(), (std::vector<std::wstring>{L"PartialCopy", L"ExecCab", L"Poll"}));
}

TEST_F(StageFailures, EntryNotStarted) {
    g_execBatOrExe = [] { return HANDLE(nullptr); };
    EXPECT_EQ(Run(), int(kExitExecBatOrExe));
    EXPECT_EQ(Log(), Expected({L"ExecCab return 0.", L"Failed to ExecBatOrExe."}, kExitExecBatOrExe));
    EXPECT_EQ(Stages(), (std::vector<std::wstring>{L"PartialCopy", L"ExecCab", L"Poll", L"ExecBatOrExe"}));
}

// ---------------------------------------------------------------------------
// Runs that get to their end.

class StageResults : public StageMachine {};

TEST_F(StageResults, EntryExitCodeIsPassedOnUnchanged) {
    // The launcher's own codes included, and a code that is negative as an int.
    for (DWORD code : {DWORD(1), DWORD(7), DWORD(kExitPartialCopy), DWORD(kExitInitial), DWORD(0xC0000005)}) {
        g_calls.clear();
        g_execBatOrExe = [this, code] { return NewChild(code).HandleForLauncher(); };
        EXPECT_EQ(Run(), int(code)) << code;
        EXPECT_EQ(Log(), Expected({L"ExecCab return 0.", L"ExecBatOrExe return " + std::to_wstring(int(code)) + L"."},
                                  code))
            << code;
    }
}

TEST_F(StageResults, ExtractOnlyRunEndsAfterTheExpansion) {
    std::wstring folder = scratch_ / L"out";
    EXPECT_EQ(Run(L"/ExtractOnlyMode:" + folder), 0);
    EXPECT_EQ(Log(), Expected({L"ExecCab return 0."}, 0, folder));
    EXPECT_EQ(Stages(), (std::vector<std::wstring>{L"PartialCopy", L"ExecCab", L"Poll"}));
}

TEST_F(StageResults, NormalRunGoesThroughEveryStageInOrder) {
    // Each child is found still running once and ended on the next tick.
    HANDLE expansion = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE entry = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE expansionCopy = nullptr;
    HANDLE entryCopy = nullptr;
    ::DuplicateHandle(::GetCurrentProcess(), expansion, ::GetCurrentProcess(), &expansionCopy, 0, FALSE,
                      DUPLICATE_SAME_ACCESS);
    ::DuplicateHandle(::GetCurrentProcess(), entry, ::GetCurrentProcess(), &entryCopy, 0, FALSE,
                      DUPLICATE_SAME_ACCESS);
    g_execCab = [&] { return expansionCopy; };
    g_execBatOrExe = [&] { return entryCopy; };
    int polls = 0;
    g_poll = [&](DWORD* exitCode) {
        EXPECT_EQ(g_run.child, EntryStarted() ? entryCopy : expansionCopy);
        if (++polls % 2 == 1) return true;
        *exitCode = EntryStarted() ? 3 : 0;
        return false;
    };
    EXPECT_EQ(Run(), 3);
    EXPECT_EQ(Log(), Expected({L"ExecCab return 0.", L"ExecBatOrExe return 3."}, 3));
    EXPECT_EQ(g_calls, (std::vector<std::wstring>{L"PartialCopy", L"ExecCab", L"Poll", L"Poll", L"ExecBatOrExe",
                                                  L"Poll", L"Poll"}));
    // The machine closed both handles it was given; the originals are ours.
    ::CloseHandle(expansion);
    ::CloseHandle(entry);
}

// ---------------------------------------------------------------------------
// The poll timers.

class StageTimer : public StageMachine {};

TEST_F(StageTimer, TickWithoutChildIsAnUnexpectedError) {
    // A poll that loses the child: the next tick finds none, whether a timer
    // or, without timers, the stage itself delivers it.
    for (bool timersWork : {true, false}) {
        for (UINT_PTR id : {ID_TIMER_EXEC_CAB, ID_TIMER_EXEC_BAT_OR_EXE}) {
            g_calls.clear();
            if (!timersWork) g_sys.SetTimer = FailingSetTimer;
            bool losesEntry = id == ID_TIMER_EXEC_BAT_OR_EXE;
            g_poll = [losesEntry](DWORD* exitCode) {
                if (EntryStarted() != losesEntry) return PollChildProcess(exitCode);
                ::CloseHandle(g_run.child);
                g_run.child = nullptr;
                return true;
            };
            EXPECT_EQ(Run(), int(kExitNoChild));
            if (losesEntry) {
                EXPECT_EQ(Log(), Expected({L"ExecCab return 0.", L"***unexpredted error2***"}, kExitNoChild));
            } else {
                EXPECT_EQ(Log(), Expected({L"***unexpredted error1***"}, kExitNoChild));
                EXPECT_FALSE(EntryStarted());
            }
        }
    }
}

TEST_F(StageTimer, OtherTimerIdsAreLeftAlone) {
    g_partialCopy = [] {
        PostToStageWindow(WM_TIMER, 3);
        return true;
    };
    g_execBatOrExe = [this] { return NewChild(4).HandleForLauncher(); };
    EXPECT_EQ(Run(), 4);
    EXPECT_EQ(Log(), Expected({L"ExecCab return 0.", L"ExecBatOrExe return 4."}, 4));
}

TEST_F(StageTimer, WithoutTimersTheRunStillEndsWithTheEntryCode) {
    g_sys.SetTimer = FailingSetTimer;
    // The expansion runs until the launcher, finding no timer, waits for it
    // itself; the entry is first found still running.
    g_execCab = [this] {
        TestChild& child = NewChild(0, true);
        g_onFailedTimer = [&child] { child.Release(); };
        return child.HandleForLauncher();
    };
    g_execBatOrExe = [this] { return NewChild(9).HandleForLauncher(); };
    bool entryPolled = false;
    g_poll = [&](DWORD* exitCode) {
        if (EntryStarted() && !entryPolled) {
            entryPolled = true;
            return true;
        }
        return PollChildProcess(exitCode);
    };
    EXPECT_EQ(Run(), 9);
    EXPECT_EQ(Log(), Expected({L"ExecCab return 0.", L"ExecBatOrExe return 9."}, 9));
    EXPECT_EQ(g_setTimerCalls, 3);
    ASSERT_EQ(children_.size(), 2u);
    EXPECT_EQ(children_[0]->ExitCode(), 0u);
}

// ---------------------------------------------------------------------------
// A close from outside: accepted in every state, waits for a running child
// without ending it, keeps the exit code set last, and no stage follows.

class StageClose : public StageMachine {
protected:
    // The run, closed while child was running, waited for the child to end
    // on its own: by the time its window went, the child had ended with its
    // code.
    static void ExpectWaitedFor(const TestChild& child, DWORD childExitCode) {
        EXPECT_TRUE(child.EndedBeforeTheWindowWent());
        EXPECT_EQ(child.ExitCode(), childExitCode);
    }
};

TEST_F(StageClose, BeforeTheFirstStage) {
    // The close is handled before the loop takes the first stage message.
    const wchar_t* className = L"KestoStageTestWindow";
    HINSTANCE instance = ::GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = StageWndProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = className;
    ASSERT_NE(::RegisterClassExW(&windowClass), 0);
    g_run = RunState();
    HWND window = ::CreateWindowExW(WS_EX_TOOLWINDOW, className, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                    instance, nullptr);
    ASSERT_NE(window, nullptr);
    ::SendMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_FALSE(::IsWindow(window));
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) ::DispatchMessageW(&message);
    ::UnregisterClassW(className, instance);
    EXPECT_TRUE(g_calls.empty());
    EXPECT_EQ(g_run.exitCode, kExitInitial);
}

TEST_F(StageClose, WhileCopying) {
    g_partialCopy = [] {
        PostToStageWindow(WM_CLOSE);
        return true;
    };
    EXPECT_EQ(Run(), int(kExitInitial));
    EXPECT_EQ(Log(), Expected({}, kExitInitial));
    EXPECT_EQ(Stages(), (std::vector<std::wstring>{L"PartialCopy"}));
}

TEST_F(StageClose, WhileAChildStarts) {
    for (bool duringEntry : {false, true}) {
        g_calls.clear();
        TestChild& child = NewChild(6, true);
        std::function<HANDLE()> start = [&] {
            PostToStageWindow(WM_CLOSE);
            return child.HandleForLauncher();
        };
        g_execCab = duringEntry ? [this] { return NewChild(0).HandleForLauncher(); } : start;
        g_execBatOrExe = start;
        EXPECT_EQ(Run(), int(kExitInitial));
        ExpectWaitedFor(child, 6);
        EXPECT_EQ(Log(), Expected(duringEntry ? std::vector<std::wstring>{L"ExecCab return 0."}
                                              : std::vector<std::wstring>{},
                                  kExitInitial));
        EXPECT_EQ(Stages().back(), duringEntry ? L"ExecBatOrExe" : L"ExecCab");
    }
}

TEST_F(StageClose, InsideThePollTheLoopStillEnds) {
    // The poll's own message pump handles the close while the child runs:
    // the window goes inside the tick, and the run must still end.
    for (bool duringEntry : {false, true}) {
        g_calls.clear();
        TestChild& child = NewChild(6, true);
        g_execCab = [&] { return duringEntry ? NewChild(0).HandleForLauncher() : child.HandleForLauncher(); };
        g_execBatOrExe = [&] { return child.HandleForLauncher(); };
        bool closedInside = false;
        g_poll = [&](DWORD* exitCode) {
            if (EntryStarted() != duringEntry) return PollChildProcess(exitCode);
            HWND window = OwnStageWindow();
            ::PostMessageW(window, WM_CLOSE, 0, 0);
            bool running = PollChildProcess(exitCode);
            closedInside = !::IsWindow(window) && g_run.child == nullptr;
            return running;
        };
        EXPECT_EQ(Run(), int(kExitInitial));
        EXPECT_TRUE(closedInside);
        ExpectWaitedFor(child, 6);
        EXPECT_EQ(Log(), Expected(duringEntry ? std::vector<std::wstring>{L"ExecCab return 0."}
                                              : std::vector<std::wstring>{},
                                  kExitInitial));
        // The quit request was handed on once, not left behind for the
        // next message loop of this thread.
        MSG message;
        EXPECT_FALSE(::PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    }
    // A later run in the same process is not affected.
    g_calls.clear();
    g_execCab = [this] { return NewChild(0).HandleForLauncher(); };
    g_execBatOrExe = [this] { return NewChild(5).HandleForLauncher(); };
    g_poll = [](DWORD* exitCode) { return PollChildProcess(exitCode); };
    EXPECT_EQ(Run(), 5);
    EXPECT_EQ(Log(), Expected({L"ExecCab return 0.", L"ExecBatOrExe return 5."}, 5));
}

TEST_F(StageClose, AsAChildEndsItsCodeIsNotTaken) {
    // The close is queued before the message that carries the child's code.
    for (bool duringEntry : {false, true}) {
        g_calls.clear();
        g_poll = [duringEntry](DWORD* exitCode) {
            bool running = PollChildProcess(exitCode);
            if (!running && EntryStarted() == duringEntry) PostToStageWindow(WM_CLOSE);
            return running;
        };
        g_execBatOrExe = [this] { return NewChild(5).HandleForLauncher(); };
        EXPECT_EQ(Run(), int(kExitInitial));
        EXPECT_EQ(Log(), Expected(duringEntry ? std::vector<std::wstring>{L"ExecCab return 0."}
                                              : std::vector<std::wstring>{},
                                  kExitInitial));
        EXPECT_EQ(EntryStarted(), duringEntry);
    }
}

TEST_F(StageClose, AfterAFailureKeepsTheCodeSetLast) {
    g_execCab = [] {
        PostToStageWindow(WM_CLOSE);
        return HANDLE(nullptr);
    };
    EXPECT_EQ(Run(), int(kExitExecCab));
    EXPECT_EQ(Log(), Expected({L"Failed to ExecCab."}, kExitExecCab));
}

TEST_F(StageClose, FromAnotherThreadWhileTheEntryRuns) {
    TestChild& entry = NewChild(6, true);
    HANDLE entryRuns = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_execBatOrExe = [&] {
        ::SetEvent(entryRuns);
        return entry.HandleForLauncher();
    };
    bool found = false;
    std::thread outside([&] {
        if (::WaitForSingleObject(entryRuns, 60000) != WAIT_OBJECT_0) return;
        HWND window = test::FindStageWindow(::GetCurrentProcessId());
        found = window != nullptr;
        ::PostMessageW(window, WM_CLOSE, 0, 0);
    });
    int exitCode = Run();
    outside.join();
    ::CloseHandle(entryRuns);
    EXPECT_TRUE(found);
    EXPECT_EQ(exitCode, int(kExitInitial));
    ExpectWaitedFor(entry, 6);
    EXPECT_EQ(Log(), Expected({L"ExecCab return 0."}, kExitInitial));
}

// ---------------------------------------------------------------------------
// Windows ending: the launcher never objects, closes when the session really
// ends, and goes on when it does not.

class StageEndSession : public StageMachine {
protected:
    struct Answers {
        LRESULT query = -1;
        LRESULT end = -1;
    };

    // While the entry runs, another thread asks as Windows does at log-off:
    // first WM_QUERYENDSESSION, then WM_ENDSESSION with ending.
    Answers RunEndingSession(TestChild& entry, BOOL ending, int* exitCode) {
        HANDLE entryRuns = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        g_execBatOrExe = [&] {
            ::SetEvent(entryRuns);
            return entry.HandleForLauncher();
        };
        Answers answers;
        std::thread windows([&] {
            if (::WaitForSingleObject(entryRuns, 60000) != WAIT_OBJECT_0) return;
            HWND window = test::FindStageWindow(::GetCurrentProcessId());
            if (window == nullptr) return;
            answers.query = ::SendMessageW(window, WM_QUERYENDSESSION, 0, 0);
                answers.end = ::SendMessageW(window, WM_ENDSESSION, ending, 0);
            entry.Release();  // a session that goes on closes nothing
        });
        *exitCode = Run();
        windows.join();
        ::CloseHandle(entryRuns);
        return answers;
    }
};

TEST_F(StageEndSession, SessionEndingClosesWithoutTakingTheEntryCode) {
    TestChild& entry = NewChild(5, true);
    int exitCode = 0;
    Answers answers = RunEndingSession(entry, TRUE, &exitCode);
    EXPECT_EQ(answers.query, TRUE);
    EXPECT_EQ(answers.end, 0);
    EXPECT_EQ(exitCode, int(kExitInitial));
    EXPECT_TRUE(entry.EndedBeforeTheWindowWent());
    EXPECT_EQ(entry.ExitCode(), 5u);
    EXPECT_EQ(Log(), Expected({L"ExecCab return 0."}, kExitInitial));
}

TEST_F(StageEndSession, SessionGoingOnChangesNothing) {
    TestChild& entry = NewChild(5, true);
    int exitCode = 0;
    Answers answers = RunEndingSession(entry, FALSE, &exitCode);
    EXPECT_EQ(answers.query, TRUE);
    EXPECT_EQ(answers.end, 0);
    EXPECT_EQ(exitCode, 5);
    EXPECT_EQ(Log(), Expected({L"ExecCab return 0.", L"ExecBatOrExe return 5."}, 5));
}

}  // namespace
}  // namespace kesto
