// Starting children directly and through the shell, polling the running
// child, choosing the package's entry, and starting the cabinet expansion.
#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cstdint>
#include <cstring>
#include <cwchar>
#include <iterator>
#include <string>
#include <vector>

#include "in_process.h"
#include "launcher/run_state.h"
#include "log/log.h"
#include "payload/exec_cab.h"
#include "platform/syscalls.h"
#include "process/entry.h"
#include "process/exec.h"
#include "test_support.h"

namespace kesto {
namespace {

// ---------------------------------------------------------------------------
// The children the tests start for real are this program in a role:
//   wait EVENT CODE    ends with CODE once EVENT is set
//   report FILE CODE   writes its command line and current directory into
//                      FILE, ends with CODE

DWORD WaitForEvent(const std::vector<std::wstring>& arguments) {
    if (arguments.size() != 2) return 1000;
    HANDLE event = ::OpenEventW(SYNCHRONIZE, FALSE, arguments[0].c_str());
    // Bounded, so that a test that died never leaves a child behind for good.
    if (event == nullptr || ::WaitForSingleObject(event, test::kChildTimeoutMs) != WAIT_OBJECT_0) return 1000;
    return DWORD(std::wcstoul(arguments[1].c_str(), nullptr, 0));
}
const test::ChildRole kWaitRole(L"wait", WaitForEvent);

DWORD Report(const std::vector<std::wstring>& arguments) {
    if (arguments.size() != 2) return 1000;
    wchar_t directory[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, directory);
    test::WriteText(arguments[0], test::Narrow(::GetCommandLineW()) + "\n" + test::Narrow(directory));
    return DWORD(std::wcstoul(arguments[1].c_str(), nullptr, 0));
}
const test::ChildRole kReportRole(L"report", Report);

// ---------------------------------------------------------------------------
// Recorders put in place of the platform's start calls. Each copies what it
// is handed; depending on its mode it then answers success, fails with a
// chosen error, or forwards to the system.

enum class Answer { Succeed, Fail, Forward };

const HANDLE kFakeProcess = reinterpret_cast<HANDLE>(uintptr_t(0x4D2C));
const HANDLE kFakeShellProcess = reinterpret_cast<HANDLE>(uintptr_t(0x5E3C));

std::wstring Text(const wchar_t* text) { return text == nullptr ? L"(null)" : text; }

LONGLONG LogBytesNow() {
    LARGE_INTEGER size = {};
    if (g_run.log == INVALID_HANDLE_VALUE || !::GetFileSizeEx(g_run.log, &size)) return -1;
    return size.QuadPart;
}

struct CreateCall {
    std::wstring applicationName;
    std::wstring commandLine;
    bool processAttributesNull;
    bool threadAttributesNull;
    BOOL inheritHandles;
    DWORD flags;
    bool environmentNull;
    std::wstring directory;
    STARTUPINFOW startup;
    PROCESS_INFORMATION before;
    PROCESS_INFORMATION after;
    LONGLONG logBytes;  // how much of the log had been written at the call
};

struct ShellCall {
    SHELLEXECUTEINFOW info;  // as handed in; its string pointers are not kept valid
    std::wstring verb, file, parameters, directory;
    LONGLONG logBytes;
};

struct KnownFolderCall {
    KNOWNFOLDERID id;
    DWORD flags;
    HANDLE token;
    std::wstring answer;  // the folder handed back, when the call succeeded
};

struct Recorders {
    Answer create = Answer::Succeed;
    DWORD createError = 0;
    Answer shell = Answer::Succeed;
    DWORD shellError = 0;
    HANDLE shellProcess = kFakeShellProcess;
    Answer knownFolder = Answer::Forward;
    std::wstring fakeSystemFolder;
    std::vector<CreateCall> creates;
    std::vector<ShellCall> shells;
    std::vector<KnownFolderCall> knownFolders;
};

Recorders g_rec;

BOOL WINAPI RecordCreateProcess(LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                                LPSECURITY_ATTRIBUTES threadAttributes, BOOL inherit, DWORD flags, LPVOID environment,
                                LPCWSTR directory, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION process) {
    CreateCall call{Text(application), Text(commandLine), processAttributes == nullptr, threadAttributes == nullptr,
                    inherit, flags, environment == nullptr, Text(directory), *startup, *process, {}, LogBytesNow()};
    BOOL result = TRUE;
    switch (g_rec.create) {
    case Answer::Succeed:
        process->hProcess = kFakeProcess;
        process->hThread = nullptr;
        break;
    case Answer::Fail:
        result = FALSE;
        break;
    case Answer::Forward:
        result = ::CreateProcessW(application, commandLine, processAttributes, threadAttributes, inherit, flags,
                                  environment, directory, startup, process);
        break;
    }
    DWORD error = ::GetLastError();
    call.after = *process;
    g_rec.creates.push_back(call);
    ::SetLastError(g_rec.create == Answer::Fail ? g_rec.createError : error);
    return result;
}

BOOL WINAPI RecordShellExecute(SHELLEXECUTEINFOW* info) {
    g_rec.shells.push_back(ShellCall{*info, Text(info->lpVerb), Text(info->lpFile), Text(info->lpParameters),
                                     Text(info->lpDirectory), LogBytesNow()});
    switch (g_rec.shell) {
    case Answer::Succeed:
        info->hProcess = g_rec.shellProcess;
        return TRUE;
    case Answer::Fail:
        ::SetLastError(g_rec.shellError);
        return FALSE;
    case Answer::Forward:
        break;
    }
    return ::ShellExecuteExW(info);
}

HRESULT WINAPI RecordKnownFolder(REFKNOWNFOLDERID id, DWORD flags, HANDLE token, PWSTR* path) {
    HRESULT result = E_FAIL;
    *path = nullptr;
    if (g_rec.knownFolder == Answer::Forward) {
        result = ::SHGetKnownFolderPath(id, flags, token, path);
    } else if (g_rec.knownFolder == Answer::Succeed) {
        size_t bytes = (g_rec.fakeSystemFolder.size() + 1) * sizeof(wchar_t);
        *path = static_cast<PWSTR>(::CoTaskMemAlloc(bytes));
        std::memcpy(*path, g_rec.fakeSystemFolder.c_str(), bytes);
        result = S_OK;
    }
    g_rec.knownFolders.push_back(KnownFolderCall{id, flags, token, result == S_OK ? *path : L""});
    return result;
}

// Every field of the startup information except cb, in one list.
std::vector<uintptr_t> StartupFieldsButSize(const STARTUPINFOW& s) {
    return {uintptr_t(s.lpReserved),  uintptr_t(s.lpDesktop),    uintptr_t(s.lpTitle),       s.dwX,
            s.dwY,                    s.dwXSize,                 s.dwYSize,                  s.dwXCountChars,
            s.dwYCountChars,          s.dwFillAttribute,         s.dwFlags,                  s.wShowWindow,
            s.cbReserved2,            uintptr_t(s.lpReserved2),  uintptr_t(s.hStdInput),     uintptr_t(s.hStdOutput),
            uintptr_t(s.hStdError)};
}

std::vector<uintptr_t> Fields(const PROCESS_INFORMATION& p) {
    return {uintptr_t(p.hProcess), uintptr_t(p.hThread), p.dwProcessId, p.dwThreadId};
}

// ---------------------------------------------------------------------------
// Every test runs with the recorders in place, a fresh log in a scratch
// folder, and the run state put back afterwards.
class ChildStartFixture : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = g_run;
        g_rec = Recorders();
        g_sys.CreateProcessW = RecordCreateProcess;
        g_sys.ShellExecuteExW = RecordShellExecute;
        g_sys.SHGetKnownFolderPath = RecordKnownFolder;
        g_run.workFolder.clear();
        g_run.forwardedParameters.clear();
        g_run.hide = false;
        g_run.child = nullptr;
        LogClose();
        logPath_ = scratch_ / L"run-sfxlog.log";
        LogOpen(logPath_);
        ASSERT_NE(g_run.log, INVALID_HANDLE_VALUE);
    }

    void TearDown() override {
        LogClose();
        g_run = saved_;
    }

    // The messages logged since the log was opened, without the time prefix;
    // closes the log.
    std::vector<std::wstring> Logged() {
        LogClose();
        std::vector<std::wstring> messages = test::LogMessages(logPath_);
        if (!messages.empty() && messages.front().rfind(L"LOG mode (", 0) == 0) messages.erase(messages.begin());
        return messages;
    }

    // How many of those messages had been written within the log's first
    // bytes (as a recorder saw them); once the log is closed.
    size_t MessagesWithin(LONGLONG bytes) const {
        std::string content = test::ReadBytes(logPath_).substr(0, size_t(bytes));
        size_t lines = 0;
        for (size_t i = 0; i + 3 < content.size(); i += 2) {
            if (content.compare(i, 4, std::string("\r\0\n\0", 4)) == 0) ++lines;
        }
        return lines < 2 ? 0 : lines - 2;  // the banner and "LOG mode" come first
    }

    test::OverrideScope overrides_;
    test::ScratchFolder scratch_{L"process"};
    std::wstring logPath_;
    RunState saved_;
};

// ---------------------------------------------------------------------------
class ExecCreateProcessTest : public ChildStartFixture {};

TEST_F(ExecCreateProcessTest, CommandLineIsQuotedPathThenParametersVerbatim) {
    const wchar_t* path = L"C:\\my pkg\\setup.exe";
    struct Case {
        const wchar_t* parameters;
        std::wstring commandLine;
    } cases[] = {
        {nullptr, L"\"C:\\my pkg\\setup.exe\""},
        {L"", L"\"C:\\my pkg\\setup.exe\""},
        {L"/LOG:\"C:\\my log\" -x", L"\"C:\\my pkg\\setup.exe\" /LOG:\"C:\\my log\" -x"},
        {L"  two  blanks ", L"\"C:\\my pkg\\setup.exe\"   two  blanks "},
    };
    for (const Case& c : cases) EXPECT_EQ(ExecCreateProcess(path, c.parameters, nullptr, nullptr), kFakeProcess);

    ASSERT_EQ(g_rec.creates.size(), std::size(cases));
    std::vector<std::wstring> logged = Logged();
    ASSERT_EQ(logged.size(), 2 * std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(g_rec.creates[i].commandLine, cases[i].commandLine) << i;
        EXPECT_EQ(logged[2 * i], L"CreateProcess Cmd: " + cases[i].commandLine + L".") << i;
    }
}

TEST_F(ExecCreateProcessTest, DirectoryLosesOneTrailingBackslashOrIsTheFolderOfThePath) {
    struct Case {
        const wchar_t* path;
        const wchar_t* directory;
        std::wstring expected;  // what the system is handed
        std::wstring logged;
    } cases[] = {
        {L"C:\\pkg\\setup.exe", L"D:\\work\\", L"D:\\work", L"D:\\work"},
        {L"C:\\pkg\\setup.exe", L"D:\\work\\\\", L"D:\\work\\", L"D:\\work\\"},
        {L"C:\\pkg\\setup.exe", L"C:\\", L"C:", L"C:"},
        {L"C:\\pkg\\setup.exe", L"D:\\my work", L"D:\\my work", L"D:\\my work"},
        {L"C:\\pkg\\setup.exe", nullptr, L"C:\\pkg", L"C:\\pkg"},
        {L"C:\\pkg\\setup.exe", L"", L"C:\\pkg", L"C:\\pkg"},
        {L"C:\\setup.exe", nullptr, L"C:", L"C:"},
        {L"C:\\a b\\c.d\\setup.exe", nullptr, L"C:\\a b\\c.d", L"C:\\a b\\c.d"},
        // Outside what callers pass: no folder, so the launcher's own
        // current directory is left to the system.
        {L"setup.exe", nullptr, L"(null)", L""},
    };
    for (const Case& c : cases) ExecCreateProcess(c.path, nullptr, c.directory, nullptr);

    ASSERT_EQ(g_rec.creates.size(), std::size(cases));
    std::vector<std::wstring> logged = Logged();
    ASSERT_EQ(logged.size(), 2 * std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(g_rec.creates[i].directory, cases[i].expected) << i;
        EXPECT_EQ(logged[2 * i + 1], L"CreateProcess Dir: " + cases[i].logged + L".") << i;
    }
}

TEST_F(ExecCreateProcessTest, StartsWithoutWindowInOwnGroupTheSameWayHiddenOrNot) {
    for (bool hide : {false, true}) {
        g_run.hide = hide;
        DWORD error = 0x1234;
        EXPECT_EQ(ExecCreateProcess(L"C:\\pkg\\setup.exe", L"-q", L"C:\\work", &error), kFakeProcess);
        EXPECT_EQ(error, 0x1234u) << "left alone on success";
    }
    ASSERT_EQ(g_rec.creates.size(), 2u);
    for (const CreateCall& call : g_rec.creates) {
        EXPECT_EQ(call.applicationName, L"(null)");
        EXPECT_TRUE(call.processAttributesNull);
        EXPECT_TRUE(call.threadAttributesNull);
        EXPECT_EQ(call.inheritHandles, FALSE);
        EXPECT_EQ(call.flags, 0x08000200u);
        EXPECT_TRUE(call.environmentNull);
        EXPECT_EQ(call.startup.cb, sizeof(STARTUPINFOW));
        EXPECT_EQ(StartupFieldsButSize(call.startup), std::vector<uintptr_t>(17, 0));
        EXPECT_EQ(Fields(call.before), std::vector<uintptr_t>(4, 0));
    }
    // Both lines are in the log before the start, and nothing follows a success.
    EXPECT_EQ(Logged(), (std::vector<std::wstring>{
                            L"CreateProcess Cmd: \"C:\\pkg\\setup.exe\" -q.", L"CreateProcess Dir: C:\\work.",
                            L"CreateProcess Cmd: \"C:\\pkg\\setup.exe\" -q.", L"CreateProcess Dir: C:\\work."}));
    EXPECT_EQ(MessagesWithin(g_rec.creates[0].logBytes), 2u);
}

TEST_F(ExecCreateProcessTest, FailureHandsOutTheCodeLogsItAndGivesNull) {
    g_rec.create = Answer::Fail;
    for (DWORD code : {2u, 740u}) {
        g_rec.createError = code;
        DWORD error = 0;
        EXPECT_EQ(ExecCreateProcess(L"C:\\pkg\\setup.exe", nullptr, nullptr, &error), nullptr);
        EXPECT_EQ(error, code);
    }
    g_rec.createError = 5;
    EXPECT_EQ(ExecCreateProcess(L"C:\\pkg\\setup.exe", nullptr, nullptr, nullptr), nullptr);

    std::vector<std::wstring> expected;
    for (int code : {2, 740, 5}) {
        expected.push_back(L"CreateProcess Cmd: \"C:\\pkg\\setup.exe\".");
        expected.push_back(L"CreateProcess Dir: C:\\pkg.");
        expected.push_back(L"Failed to CreateProcess (" + std::to_wstring(code) + L").");
    }
    EXPECT_EQ(Logged(), expected);
}

TEST_F(ExecCreateProcessTest, RealStartReturnsTheProcessAndClosesItsThread) {
    g_rec.create = Answer::Forward;
    std::wstring directory = scratch_ / L"cur dir";
    ASSERT_TRUE(test::MakeFolders(directory));
    std::wstring report = scratch_ / L"report.txt";
    std::wstring parameters = kReportRole.Tail({report, L"37"});

    HANDLE process =
        ExecCreateProcess(test::ThisProgram().c_str(), parameters.c_str(), (directory + L"\\").c_str(), nullptr);
    ASSERT_NE(process, nullptr);
    ASSERT_EQ(g_rec.creates.size(), 1u);
    const PROCESS_INFORMATION& started = g_rec.creates[0].after;
    EXPECT_EQ(process, started.hProcess);
    DWORD flags = 0;
    EXPECT_FALSE(::GetHandleInformation(started.hThread, &flags)) << "the thread handle is still open";

    EXPECT_EQ(test::ChildProcess(process).Wait(), 37u);
    EXPECT_EQ(test::Widen(test::ReadBytes(report)),
              L"\"" + test::ThisProgram() + L"\" " + parameters + L"\n" + directory);
    test::RemoveTreeWhenReleased(directory);
}

// ---------------------------------------------------------------------------
class ExecShellExecuteExTest : public ChildStartFixture {};

TEST_F(ExecShellExecuteExTest, FillsEveryFieldOfTheRequest) {
    for (bool hide : {false, true}) {
        g_run.hide = hide;
        EXPECT_EQ(ExecShellExecuteEx(L"C:\\my pkg\\install.bat", L"a \"b c\"", L"runas"), kFakeShellProcess);
    }
    ASSERT_EQ(g_rec.shells.size(), 2u);
    for (const ShellCall& call : g_rec.shells) {
        const SHELLEXECUTEINFOW& info = call.info;
        EXPECT_EQ(info.cbSize, sizeof(SHELLEXECUTEINFOW));
        EXPECT_EQ(info.hwnd, nullptr);
        EXPECT_EQ(call.verb, L"runas");
        EXPECT_EQ(call.file, L"\"C:\\my pkg\\install.bat\"");
        EXPECT_EQ(call.parameters, L"a \"b c\"");
        EXPECT_EQ(call.directory, L"C:\\my pkg");
        EXPECT_EQ(info.hInstApp, ::GetModuleHandleW(nullptr));
        EXPECT_EQ((std::vector<uintptr_t>{uintptr_t(info.lpIDList), uintptr_t(info.lpClass),
                                          uintptr_t(info.hkeyClass), info.dwHotKey, uintptr_t(info.hIcon),
                                          uintptr_t(info.hProcess)}),
                  std::vector<uintptr_t>(6, 0));
    }
    EXPECT_EQ(g_rec.shells[0].info.nShow, SW_SHOW);
    EXPECT_EQ(g_rec.shells[1].info.nShow, SW_HIDE);
}

TEST_F(ExecShellExecuteExTest, ParametersAndVerbAreGivenAndLoggedOnlyWhenNotEmpty) {
    const wchar_t* path = L"C:\\pkg\\run.cmd";
    struct Case {
        const wchar_t* parameters;
        const wchar_t* verb;
        std::vector<std::wstring> logged;
    } cases[] = {
        {nullptr, nullptr, {L"ShellExecuteEx Path:\"C:\\pkg\\run.cmd\".", L"ShellExecuteEx Dir:C:\\pkg."}},
        {L"", L"", {L"ShellExecuteEx Path:\"C:\\pkg\\run.cmd\".", L"ShellExecuteEx Dir:C:\\pkg."}},
        {L"-x", nullptr,
         {L"ShellExecuteEx Path:\"C:\\pkg\\run.cmd\".", L"ShellExecuteEx Param:-x.", L"ShellExecuteEx Dir:C:\\pkg."}},
        {nullptr, L"runas",
         {L"ShellExecuteEx Path:\"C:\\pkg\\run.cmd\".", L"ShellExecuteEx Verb:runas.",
          L"ShellExecuteEx Dir:C:\\pkg."}},
        {L"/LOG:C:\\l x", L"open",
         {L"ShellExecuteEx Path:\"C:\\pkg\\run.cmd\".", L"ShellExecuteEx Param:/LOG:C:\\l x.",
          L"ShellExecuteEx Verb:open.", L"ShellExecuteEx Dir:C:\\pkg."}},
    };
    std::vector<std::wstring> expected;
    for (const Case& c : cases) {
        ExecShellExecuteEx(path, c.parameters, c.verb);
        expected.insert(expected.end(), c.logged.begin(), c.logged.end());
    }
    ASSERT_EQ(g_rec.shells.size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
        const wchar_t* parameters = cases[i].parameters;
        const wchar_t* verb = cases[i].verb;
        EXPECT_EQ(g_rec.shells[i].parameters, parameters && *parameters ? parameters : L"(null)") << i;
        EXPECT_EQ(g_rec.shells[i].verb, verb && *verb ? verb : L"(null)") << i;
    }
    EXPECT_EQ(Logged(), expected);
    // The lines are written before the call.
    EXPECT_EQ(MessagesWithin(g_rec.shells[0].logBytes), 2u);
    EXPECT_EQ(MessagesWithin(g_rec.shells[4].logBytes), 2u + 2 + 3 + 3 + 4);
}

TEST_F(ExecShellExecuteExTest, FailureOrNoProcessGivesNull) {
    g_rec.shell = Answer::Fail;
    g_rec.shellError = 1155;
    EXPECT_EQ(ExecShellExecuteEx(L"C:\\pkg\\a.bat", nullptr, nullptr), nullptr);
    // Started, but handed to something that gives no process to wait for.
    g_rec.shell = Answer::Succeed;
    g_rec.shellProcess = nullptr;
    EXPECT_EQ(ExecShellExecuteEx(L"C:\\pkg\\a.bat", nullptr, nullptr), nullptr);

    EXPECT_EQ(Logged(), (std::vector<std::wstring>{
                            L"ShellExecuteEx Path:\"C:\\pkg\\a.bat\".", L"ShellExecuteEx Dir:C:\\pkg.",
                            L"  Error - Exec failed (1155).", L"ShellExecuteEx Path:\"C:\\pkg\\a.bat\".",
                            L"ShellExecuteEx Dir:C:\\pkg."}));
}

TEST_F(ExecShellExecuteExTest, AMissingFileFailsWithTheSystemsCodeAndNoDialog) {
    // A hidden run has no one to close a message box: were one shown, this
    // test would hang until CTest ends it.
    g_rec.shell = Answer::Forward;
    EXPECT_EQ(ExecShellExecuteEx((scratch_ / L"missing.bat").c_str(), nullptr, nullptr), nullptr);
    EXPECT_EQ(Logged().back(), L"  Error - Exec failed (2).");
}

TEST_F(ExecShellExecuteExTest, PathWithoutFolderLeavesTheDirectoryToTheSystem) {
    ExecShellExecuteEx(L"a.bat", nullptr, nullptr);
    ASSERT_EQ(g_rec.shells.size(), 1u);
    EXPECT_EQ(g_rec.shells[0].directory, L"(null)");
    EXPECT_EQ(Logged().back(), L"ShellExecuteEx Dir:.");
}

// ---------------------------------------------------------------------------
// A real child that runs until the test lets it end.
class WaitingChild {
public:
    explicit WaitingChild(DWORD exitCode)
        : name_(NewEventName()), event_(::CreateEventW(nullptr, TRUE, FALSE, name_.c_str())),
          child_(Waiting(name_, exitCode)) {}
    ~WaitingChild() {
        End();
        if (event_ != nullptr) ::CloseHandle(event_);
    }
    WaitingChild(const WaitingChild&) = delete;
    WaitingChild& operator=(const WaitingChild&) = delete;

    HANDLE process() const { return child_.handle(); }
    bool Running() const { return child_.Running(); }
    // Lets the child end and waits until it has.
    void End() {
        ::SetEvent(event_);
        child_.Wait();
    }

private:
    static std::wstring NewEventName() {
        static int counter = 0;
        return L"kesto-process-test-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
               std::to_wstring(counter++);
    }
    static test::Child Waiting(const std::wstring& event, DWORD exitCode) {
        test::Child child;
        child.commandLine = kWaitRole.CommandLine({event, std::to_wstring(exitCode)});
        return child;
    }

    std::wstring name_;
    HANDLE event_;
    test::ChildProcess child_;
};

// A message-only window that counts what is dispatched to it; its handler can
// be told to do something on the first message.
struct Dispatched {
    std::vector<UINT> messages;
    void (*onFirst)() = nullptr;
};
Dispatched g_dispatched;
WaitingChild* g_childToEnd = nullptr;

LRESULT CALLBACK CountingWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message >= WM_APP) {
        g_dispatched.messages.push_back(message);
        if (g_dispatched.messages.size() == 1 && g_dispatched.onFirst != nullptr) g_dispatched.onFirst();
        return 0;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

// Every message waiting in the thread's queue, taken out.
std::vector<MSG> TakeQueue() {
    std::vector<MSG> taken;
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) taken.push_back(message);
    return taken;
}

class PollChildProcessTest : public ChildStartFixture {
protected:
    void SetUp() override {
        ChildStartFixture::SetUp();
        g_dispatched = Dispatched();
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = CountingWindowProc;
        windowClass.hInstance = ::GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"KestoProcessTestWindow";
        ::RegisterClassW(&windowClass);
        window_ = ::CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                    windowClass.hInstance, nullptr);
        ASSERT_NE(window_, nullptr);
        TakeQueue();
    }
    void TearDown() override {
        ::DestroyWindow(window_);
        TakeQueue();
        ChildStartFixture::TearDown();
    }

    HWND window_ = nullptr;
};

TEST_F(PollChildProcessTest, RunningThenFinishedWithTheExitCode) {
    WaitingChild child(0x08760003);
    ASSERT_NE(child.process(), nullptr);
    g_run.child = child.process();

    DWORD exitCode = 0xABC;
    EXPECT_TRUE(PollChildProcess(&exitCode));  // returns at once: the child waits for the test
    EXPECT_EQ(exitCode, 0xABCu);
    EXPECT_TRUE(child.Running());

    child.End();
    EXPECT_FALSE(PollChildProcess(&exitCode));
    EXPECT_EQ(exitCode, 0x08760003u);
    EXPECT_FALSE(PollChildProcess(nullptr));
    EXPECT_EQ(g_run.child, child.process()) << "the poll neither closes nor clears the handle";
}

TEST_F(PollChildProcessTest, HandlesEveryWaitingMessageEvenWhenTheChildEndsMeanwhile) {
    WaitingChild child(7);
    g_childToEnd = &child;
    g_dispatched.onFirst = [] { g_childToEnd->End(); };
    g_run.child = child.process();
    for (UINT i = 0; i < 3; ++i) ::PostMessageW(window_, WM_APP + i, 0, 0);

    DWORD exitCode = 0;
    EXPECT_TRUE(PollChildProcess(&exitCode));
    EXPECT_EQ(g_dispatched.messages, (std::vector<UINT>{WM_APP, WM_APP + 1, WM_APP + 2}));
    EXPECT_TRUE(TakeQueue().empty());
    EXPECT_EQ(exitCode, 0u);

    // The next poll finds the end.
    EXPECT_FALSE(PollChildProcess(&exitCode));
    EXPECT_EQ(exitCode, 7u);
}

TEST_F(PollChildProcessTest, QuitRequestIsPostedAgainAndStopsThePump) {
    WaitingChild child(0);
    g_run.child = child.process();

    // A quit request in the middle of the queue: what follows it stays queued.
    ::PostMessageW(window_, WM_APP, 0, 0);
    ::PostThreadMessageW(::GetCurrentThreadId(), WM_QUIT, 9, 0);
    ::PostMessageW(window_, WM_APP + 1, 0, 0);
    EXPECT_TRUE(PollChildProcess(nullptr));
    EXPECT_EQ(g_dispatched.messages, std::vector<UINT>{WM_APP});
    std::vector<MSG> left = TakeQueue();
    ASSERT_EQ(left.size(), 2u);
    EXPECT_EQ(left[0].message, WM_APP + 1);
    EXPECT_EQ(left[1].message, UINT(WM_QUIT));
    EXPECT_EQ(left[1].wParam, 9u);

    // A handler that ends the message loop while the pump runs.
    g_dispatched = Dispatched();
    g_dispatched.onFirst = [] { ::PostQuitMessage(3); };
    ::PostMessageW(window_, WM_APP, 0, 0);
    EXPECT_TRUE(PollChildProcess(nullptr));
    left = TakeQueue();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].message, UINT(WM_QUIT));
    EXPECT_EQ(left[0].wParam, 3u);
    EXPECT_TRUE(child.Running());
}

TEST_F(PollChildProcessTest, FailedWaitOrUnreadableCodeAnswersFinishedAndLeavesTheCodeAlone) {
    // A signalled object that is not a process: the end is seen, the code
    // cannot be read.
    HANDLE event = ::CreateEventW(nullptr, TRUE, TRUE, nullptr);
    for (HANDLE child : {HANDLE(nullptr), reinterpret_cast<HANDLE>(uintptr_t(0x7FFFFFF0)), event}) {
        g_run.child = child;
        DWORD exitCode = 0x5A5A;
        EXPECT_FALSE(PollChildProcess(&exitCode));
        EXPECT_EQ(exitCode, 0x5A5Au);
    }
    ::CloseHandle(event);
}

// ---------------------------------------------------------------------------
class ExecBatOrExeTest : public ChildStartFixture {
protected:
    void SetUp() override {
        ChildStartFixture::SetUp();
        work_ = scratch_ / L"work dir";
        ASSERT_TRUE(test::MakeFolders(work_));
        g_run.workFolder = work_;
        g_run.forwardedParameters = L"/LOG:x a \"b c\"";
    }
    void TearDown() override {
        test::RemoveTreeWhenReleased(work_);
        ChildStartFixture::TearDown();
    }
    void Put(const wchar_t* name, const std::string& content = "") {
        ASSERT_TRUE(test::WriteText(work_ + L"\\" + name, content));
    }
    void Remove(const wchar_t* name) { ASSERT_TRUE(test::RemoveTree(work_ + L"\\" + name)); }

    std::wstring work_;
};

TEST_F(ExecBatOrExeTest, BatchFileBeforeCommandScriptBeforeProgram) {
    Put(L"a.bat");
    Put(L"b.cmd");
    Put(L"c.exe");
    EXPECT_EQ(ExecBatOrExe(), kFakeShellProcess);
    Remove(L"a.bat");
    EXPECT_EQ(ExecBatOrExe(), kFakeShellProcess);
    Remove(L"b.cmd");
    EXPECT_EQ(ExecBatOrExe(), kFakeProcess);

    ASSERT_EQ(g_rec.shells.size(), 2u);
    EXPECT_EQ(g_rec.shells[0].file, L"\"" + work_ + L"\\a.bat\"");
    EXPECT_EQ(g_rec.shells[1].file, L"\"" + work_ + L"\\b.cmd\"");
    for (const ShellCall& call : g_rec.shells) {
        EXPECT_EQ(call.parameters, L"/LOG:x a \"b c\"");
        EXPECT_EQ(call.verb, L"(null)");
        EXPECT_EQ(call.directory, work_);
    }
    // A program is started directly, in its own folder.
    ASSERT_EQ(g_rec.creates.size(), 1u);
    EXPECT_EQ(g_rec.creates[0].commandLine, L"\"" + work_ + L"\\c.exe\" /LOG:x a \"b c\"");
    EXPECT_EQ(g_rec.creates[0].directory, work_);

    // Only the start operations log.
    std::vector<std::wstring> logged = Logged();
    ASSERT_EQ(logged.size(), 8u);
    EXPECT_EQ(logged[6], L"CreateProcess Cmd: \"" + work_ + L"\\c.exe\" /LOG:x a \"b c\".");
    EXPECT_EQ(logged[7], L"CreateProcess Dir: " + work_ + L".");
}

TEST_F(ExecBatOrExeTest, OnlyTheFirstKindWithAMatchIsTriedEvenWhenItFails) {
    Put(L"a.bat");
    Put(L"b.cmd");
    Put(L"c.exe");
    g_rec.shell = Answer::Fail;
    g_rec.shellError = 2;
    EXPECT_EQ(ExecBatOrExe(), nullptr);
    ASSERT_EQ(g_rec.shells.size(), 1u);
    EXPECT_EQ(g_rec.shells[0].file, L"\"" + work_ + L"\\a.bat\"");

    Remove(L"a.bat");
    EXPECT_EQ(ExecBatOrExe(), nullptr);
    ASSERT_EQ(g_rec.shells.size(), 2u);
    EXPECT_EQ(g_rec.shells[1].file, L"\"" + work_ + L"\\b.cmd\"");
    EXPECT_TRUE(g_rec.creates.empty());
}

TEST_F(ExecBatOrExeTest, FolderNamedLikeAnEntryCountsAsAMatch) {
    ASSERT_TRUE(test::MakeFolders(work_ + L"\\x.bat"));
    Put(L"y.exe");
    EXPECT_EQ(ExecBatOrExe(), kFakeShellProcess);
    ASSERT_EQ(g_rec.shells.size(), 1u);
    EXPECT_EQ(g_rec.shells[0].file, L"\"" + work_ + L"\\x.bat\"");
    EXPECT_TRUE(g_rec.creates.empty());
}

TEST_F(ExecBatOrExeTest, NoEntryGivesNullAndLogsNothing) {
    EXPECT_EQ(ExecBatOrExe(), nullptr);
    // Other files, and entries in a sub-folder, are not entries.
    Put(L"MyData.cab");
    Put(L"readme.txt");
    ASSERT_TRUE(test::MakeFolders(work_ + L"\\sub"));
    Put(L"sub\\inner.bat");
    Put(L"sub\\inner.exe");
    EXPECT_EQ(ExecBatOrExe(), nullptr);

    EXPECT_TRUE(g_rec.shells.empty());
    EXPECT_TRUE(g_rec.creates.empty());
    EXPECT_TRUE(Logged().empty());
}

TEST_F(ExecBatOrExeTest, ProgramNeedingElevationIsStartedAgainWithRunas) {
    Put(L"setup.exe");
    g_rec.create = Answer::Fail;
    g_rec.createError = 740;
    EXPECT_EQ(ExecBatOrExe(), kFakeShellProcess);
    g_run.forwardedParameters.clear();
    EXPECT_EQ(ExecBatOrExe(), kFakeShellProcess);

    ASSERT_EQ(g_rec.shells.size(), 2u);
    EXPECT_EQ(g_rec.shells[0].verb, L"runas");
    EXPECT_EQ(g_rec.shells[0].parameters, L"/LOG:x a \"b c\"");
    EXPECT_EQ(g_rec.shells[1].parameters, L"(null)");
    std::wstring program = work_ + L"\\setup.exe";
    EXPECT_EQ(Logged(), (std::vector<std::wstring>{
                            L"CreateProcess Cmd: \"" + program + L"\" /LOG:x a \"b c\".",
                            L"CreateProcess Dir: " + work_ + L".",
                            L"Failed to CreateProcess (740).",
                            L"ShellExecuteEx Path:\"" + program + L"\".",
                            L"ShellExecuteEx Param:/LOG:x a \"b c\".",
                            L"ShellExecuteEx Verb:runas.",
                            L"ShellExecuteEx Dir:" + work_ + L".",
                            L"CreateProcess Cmd: \"" + program + L"\".",
                            L"CreateProcess Dir: " + work_ + L".",
                            L"Failed to CreateProcess (740).",
                            L"ShellExecuteEx Path:\"" + program + L"\".",
                            L"ShellExecuteEx Verb:runas.",
                            L"ShellExecuteEx Dir:" + work_ + L".",
                        }));
}

TEST_F(ExecBatOrExeTest, OtherStartFailuresAreNotRetried) {
    Put(L"setup.exe");
    g_rec.create = Answer::Fail;
    for (DWORD code : {2u, 5u, 1223u}) {
        g_rec.createError = code;
        EXPECT_EQ(ExecBatOrExe(), nullptr) << code;
    }
    EXPECT_EQ(g_rec.creates.size(), 3u);
    EXPECT_TRUE(g_rec.shells.empty());
    // The elevated retry failing as well gives null too.
    g_rec.createError = 740;
    g_rec.shell = Answer::Fail;
    g_rec.shellError = 1223;
    EXPECT_EQ(ExecBatOrExe(), nullptr);
    EXPECT_EQ(Logged().back(), L"  Error - Exec failed (1223).");
}

TEST_F(ExecBatOrExeTest, HideFlagReachesShellStartsOnly) {
    for (bool hide : {false, true}) {
        g_run.hide = hide;
        g_rec.create = Answer::Succeed;
        Put(L"a.bat");
        ExecBatOrExe();
        Remove(L"a.bat");
        Put(L"b.cmd");
        ExecBatOrExe();
        Remove(L"b.cmd");
        Put(L"c.exe");
        ExecBatOrExe();
        g_rec.create = Answer::Fail;
        g_rec.createError = 740;
        ExecBatOrExe();
        Remove(L"c.exe");
    }
    ASSERT_EQ(g_rec.shells.size(), 6u);
    for (size_t i = 0; i < 6; ++i) EXPECT_EQ(g_rec.shells[i].info.nShow, i < 3 ? SW_SHOW : SW_HIDE) << i;
    ASSERT_EQ(g_rec.creates.size(), 4u);
    for (const CreateCall& call : g_rec.creates) {
        EXPECT_EQ(call.flags, 0x08000200u);
        EXPECT_EQ(StartupFieldsButSize(call.startup), std::vector<uintptr_t>(17, 0));
    }
}

TEST_F(ExecBatOrExeTest, RealBatchFileGetsTheParametersAndEndsWithItsCode) {
    g_rec.shell = Answer::Forward;
    g_run.hide = true;
    Put(L"run.bat", "@exit /b %1\r\n");
    g_run.forwardedParameters = L"7";
    HANDLE process = ExecBatOrExe();
    ASSERT_NE(process, nullptr);
    EXPECT_EQ(test::ChildProcess(process).Wait(), 7u);
}

TEST_F(ExecBatOrExeTest, RealProgramRunsInTheWorkFolderWithTheParameters) {
    g_rec.create = Answer::Forward;
    std::wstring program = work_ + L"\\entry.exe";
    ASSERT_TRUE(::CopyFileW(test::ThisProgram().c_str(), program.c_str(), TRUE));
    std::wstring report = scratch_ / L"report.txt";
    g_run.forwardedParameters = kReportRole.Tail({report, L"23"});

    HANDLE process = ExecBatOrExe();
    ASSERT_NE(process, nullptr);
    EXPECT_EQ(test::ChildProcess(process).Wait(), 23u);
    EXPECT_EQ(test::Widen(test::ReadBytes(report)),
              L"\"" + program + L"\" " + g_run.forwardedParameters + L"\n" + work_);
}

// ---------------------------------------------------------------------------
class ExecCabTest : public ChildStartFixture {
protected:
    void SetUp() override {
        ChildStartFixture::SetUp();
        g_run.workFolder = L"C:\\users\\some one\\Temp\\QzEXF0003";
    }
};

TEST_F(ExecCabTest, StartsTheSystemsCmdRunningExpandInTheWorkFolder) {
    EXPECT_EQ(ExecCab(), kFakeProcess);

    ASSERT_EQ(g_rec.knownFolders.size(), 1u);
    const KnownFolderCall& asked = g_rec.knownFolders[0];
    EXPECT_TRUE(IsEqualGUID(asked.id, FOLDERID_System));
    EXPECT_EQ(asked.flags, 0x400u);
    EXPECT_EQ(asked.token, nullptr);
    ASSERT_FALSE(asked.answer.empty());

    ASSERT_EQ(g_rec.creates.size(), 1u);
    const CreateCall& started = g_rec.creates[0];
    EXPECT_EQ(started.commandLine, test::ExpansionCommandLine(g_run.workFolder, asked.answer));
    EXPECT_EQ(started.directory, g_run.workFolder);
    EXPECT_EQ(started.flags, 0x08000200u);

    // cmd.exe takes the first quote behind /c and the last quote off the
    // command; what is left splits into expand.exe's full path and the
    // cabinet's path, each one argument despite their blanks.
    std::wstring command = started.commandLine.substr(started.commandLine.find(L"/c \"") + 4);
    ASSERT_EQ(command.back(), L'"');
    command.pop_back();
    int count = 0;
    LPWSTR* args = ::CommandLineToArgvW(command.c_str(), &count);
    ASSERT_NE(args, nullptr);
    std::vector<std::wstring> arguments(args, args + count);
    ::LocalFree(args);
    EXPECT_EQ(arguments, (std::vector<std::wstring>{asked.answer + L"\\expand.exe", g_run.workFolder + L"\\MyData.cab",
                                                    L"-f:*", L"."}));

    EXPECT_EQ(Logged(), (std::vector<std::wstring>{L"CreateProcess Cmd: " + started.commandLine + L".",
                                                   L"CreateProcess Dir: " + g_run.workFolder + L"."}));
}

TEST_F(ExecCabTest, ProgramIsCmdInTheFolderTheSystemNames) {
    g_rec.knownFolder = Answer::Succeed;
    g_rec.fakeSystemFolder = L"Q:\\Sys Dir";
    g_run.workFolder = L"W:\\w";
    ExecCab();
    ASSERT_EQ(g_rec.creates.size(), 1u);
    EXPECT_EQ(g_rec.creates[0].commandLine, test::ExpansionCommandLine(L"W:\\w", L"Q:\\Sys Dir"));
    EXPECT_EQ(g_rec.creates[0].directory, L"W:\\w");
}

TEST_F(ExecCabTest, NoSystemFolderOrNoStartGivesNull) {
    g_rec.knownFolder = Answer::Fail;
    EXPECT_EQ(ExecCab(), nullptr);
    EXPECT_TRUE(g_rec.creates.empty());
    EXPECT_TRUE(Logged().empty());

    LogOpen(logPath_);
    g_rec.knownFolder = Answer::Forward;
    g_rec.create = Answer::Fail;
    g_rec.createError = 2;
    EXPECT_EQ(ExecCab(), nullptr);
    EXPECT_EQ(Logged().back(), L"Failed to CreateProcess (2).");
}

}  // namespace
}  // namespace kesto
