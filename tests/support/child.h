#pragma once
// Child processes of the Windows tests: starting one, owning it, and test
// programs that start themselves as their own children.
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/handles.h"

namespace kesto::test {

// How long a test waits for a child to end, and a child for its test.
constexpr DWORD kChildTimeoutMs = 120000;

// How a child is started: commandLine exactly as given, optionally with its
// own TMP and TEMP and further environment variables.
struct Child {
    std::wstring commandLine;
    std::wstring currentDirectory;  // empty: the test's own
    std::wstring temp;              // non-empty: TMP and TEMP of the child
    std::vector<std::pair<std::wstring, std::wstring>> environment;  // set or replaced
    WORD show = SW_HIDE;
    DWORD timeoutMs = kChildTimeoutMs;  // how long Run and ChildProcess::Wait wait for it
    HANDLE job = nullptr;      // non-null: the child, and what it starts, run in this job
    bool suspended = false;    // its first thread waits to be resumed
};

// Starts a child and hands out its process handle, which the caller closes;
// null when it could not start. With child.suspended the first thread is
// handed out through thread, and the caller resumes and closes it.
HANDLE Start(const Child& child, HANDLE* thread = nullptr);

// Owns a started child. It runs in child.job or in a job of its own, so that
// a child that hangs is ended together with everything it started, and never
// outlives its test.
class ChildProcess {
public:
    explicit ChildProcess(const Child& child);
    // Takes over a process that the code under test started (no job: only
    // the process itself can be ended).
    explicit ChildProcess(HANDLE process, DWORD timeoutMs = kChildTimeoutMs);
    // Ends the child, with what it started, should it still run.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return process_.valid(); }
    HANDLE handle() const { return process_.get(); }
    DWORD pid() const { return ::GetProcessId(process_.get()); }
    // Lets a child started suspended run.
    void Resume();
    bool Running() const { return ::WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT; }
    bool EndsWithin(DWORD ms) const { return ::WaitForSingleObject(process_.get(), ms) == WAIT_OBJECT_0; }
    // The exit code; STILL_ACTIVE while it runs, ~0u when there is none to read.
    DWORD ExitCode() const;
    // Waits for the end, at most timeoutMs (by default child.timeoutMs), and
    // gives the exit code. A child that never started, or does not end in
    // time, fails the test (a late one is ended with what it started); the
    // result is then ~0u.
    DWORD Wait() { return Wait(timeoutMs_); }
    DWORD Wait(DWORD timeoutMs);

private:
    void End();

    UniqueHandle process_;
    UniqueHandle thread_;      // while it waits to be resumed
    UniqueHandle ownJob_;      // the job made for it when the caller gave none
    HANDLE job_ = nullptr;     // the job it runs in: child.job or ownJob_
    DWORD timeoutMs_;
    std::wstring commandLine_;
    DWORD startError_ = 0;
};

// Starts a child, waits for it and gives its exit code (ChildProcess::Wait).
DWORD Run(const Child& child);

// This test program's own file.
std::wstring ThisProgram();

// A test program is also a child its tests start. Started as
//   <program> --kesto-child-role NAME ARGUMENT...
// it plays the role registered under NAME, ends with what the role returns
// and runs no test: main() (test_main.cpp) calls RunChildRoleWhenAsked
// first. A test file registers its roles at namespace scope:
//   DWORD Report(const std::vector<std::wstring>& arguments) { ... }
//   const test::ChildRole kReport(L"report", Report);
// and starts one with kReport.CommandLine({file, L"3"}).
class ChildRole {
public:
    using Play = DWORD (*)(const std::vector<std::wstring>& arguments);
    ChildRole(const wchar_t* name, Play play);
    // The arguments that start a program in this role, each quoted as
    // CommandLineToArgvW needs it.
    std::wstring Tail(const std::vector<std::wstring>& arguments) const;
    // This program, quoted, and the tail.
    std::wstring CommandLine(const std::vector<std::wstring>& arguments) const;

private:
    const wchar_t* name_;
};

// Plays the role named on the command line and ends the process; returns at
// once when the program was started without one.
void RunChildRoleWhenAsked();

}  // namespace kesto::test
