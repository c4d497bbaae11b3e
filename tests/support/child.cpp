#include "child.h"

#include <gtest/gtest.h>

#include <shellapi.h>

#include <cwchar>
#include <map>

#include "test_support.h"

namespace kesto::test {

namespace {

// The test's own environment with the child's variables set or replaced.
std::vector<wchar_t> ChildEnvironment(const Child& child) {
    std::vector<std::pair<std::wstring, std::wstring>> variables = child.environment;
    if (!child.temp.empty()) {
        variables.emplace_back(L"TMP", child.temp);
        variables.emplace_back(L"TEMP", child.temp);
    }
    std::vector<wchar_t> block;
    auto append = [&block](const std::wstring& line) {
        block.insert(block.end(), line.begin(), line.end());
        block.push_back(L'\0');
    };
    wchar_t* strings = ::GetEnvironmentStringsW();
    for (const wchar_t* entry = strings; *entry != L'\0'; entry += lstrlenW(entry) + 1) {
        std::wstring line = entry;
        bool replaced = false;
        for (const auto& variable : variables) {
            std::wstring prefix = variable.first + L"=";
            if (_wcsnicmp(entry, prefix.c_str(), prefix.size()) == 0) replaced = true;
        }
        if (!replaced) append(line);
    }
    ::FreeEnvironmentStringsW(strings);
    for (const auto& variable : variables) append(variable.first + L"=" + variable.second);
    block.push_back(L'\0');
    return block;
}

constexpr wchar_t kRoleSwitch[] = L"--kesto-child-role";

std::map<std::wstring, ChildRole::Play>& Roles() {
    static std::map<std::wstring, ChildRole::Play> roles;
    return roles;
}

// An argument as CommandLineToArgvW reads it back: quoted when it holds a
// blank or a quote, backslashes doubled where a quote follows them.
std::wstring Quoted(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(2 * backslashes, L'\\');
    return quoted + L"\"";
}

}  // namespace

HANDLE Start(const Child& child, HANDLE* thread) {
    std::vector<wchar_t> commandLine(child.commandLine.begin(), child.commandLine.end());
    commandLine.push_back(L'\0');
    std::vector<wchar_t> environment;
    if (!child.temp.empty() || !child.environment.empty()) environment = ChildEnvironment(child);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = child.show;
    PROCESS_INFORMATION process = {};
    bool suspended = child.suspended || child.job != nullptr;
    // Under load Wine now and then refuses a start that works a moment later
    // (it may still hold what a program that has just ended used); a test is
    // about what the child does, so a refused start is tried a few times.
    for (int attempt = 1;; ++attempt) {
        if (::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE,
                             CREATE_UNICODE_ENVIRONMENT | (suspended ? CREATE_SUSPENDED : 0),
                             environment.empty() ? nullptr : environment.data(),
                             child.currentDirectory.empty() ? nullptr : child.currentDirectory.c_str(), &startup,
                             &process))
            break;
        if (attempt == 5) return nullptr;  // with CreateProcessW's last error
        ::Sleep(200);
    }
    // In the job before its first instruction, so that all it starts is too.
    if (child.job != nullptr) ::AssignProcessToJobObject(child.job, process.hProcess);
    if (child.suspended && thread != nullptr) {
        *thread = process.hThread;
        return process.hProcess;
    }
    UniqueHandle firstThread(process.hThread);
    if (suspended) ::ResumeThread(firstThread.get());
    return process.hProcess;
}

ChildProcess::ChildProcess(const Child& child) : timeoutMs_(child.timeoutMs), commandLine_(child.commandLine) {
    Child inJob = child;
    if (inJob.job == nullptr) {
        ownJob_.reset(::CreateJobObjectW(nullptr, nullptr));
        inJob.job = ownJob_.get();
    }
    job_ = inJob.job;
    HANDLE thread = nullptr;
    process_.reset(Start(inJob, &thread));
    if (!process_.valid()) startError_ = ::GetLastError();
    thread_.reset(thread);
}

ChildProcess::ChildProcess(HANDLE process, DWORD timeoutMs) : process_(process), timeoutMs_(timeoutMs) {}

ChildProcess::~ChildProcess() {
    if (process_.valid() && Running()) End();
}

void ChildProcess::Resume() {
    ::ResumeThread(thread_.get());
    thread_.reset();
}

DWORD ChildProcess::ExitCode() const {
    DWORD code = ~0u;
    if (process_.valid()) ::GetExitCodeProcess(process_.get(), &code);
    return code;
}

DWORD ChildProcess::Wait(DWORD timeoutMs) {
    // A child that did not start is the test's failure, never an exit code to
    // compare: say so, and why.
    if (!process_.valid()) {
        ADD_FAILURE() << "could not start " << Narrow(commandLine_) << " (error " << startError_ << ")";
        return ~0u;
    }
    if (EndsWithin(timeoutMs)) return ExitCode();
    ADD_FAILURE() << "a child did not end within " << timeoutMs << " ms and was ended"
                  << (job_ != nullptr ? " with all it started: " : ": ") << Narrow(commandLine_);
    End();
    return ~0u;
}

void ChildProcess::End() {
    if (job_ != nullptr) {
        ::TerminateJobObject(job_, ~0u);
    } else {
        ::TerminateProcess(process_.get(), ~0u);
    }
}

DWORD Run(const Child& child) { return ChildProcess(child).Wait(); }

std::wstring ThisProgram() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = ::GetModuleFileNameW(nullptr, &path[0], DWORD(path.size()));
        if (length < path.size()) return path.substr(0, length);
        path.resize(path.size() * 2);
    }
}

ChildRole::ChildRole(const wchar_t* name, Play play) : name_(name) { Roles()[name] = play; }

std::wstring ChildRole::Tail(const std::vector<std::wstring>& arguments) const {
    std::wstring tail = std::wstring(kRoleSwitch) + L" " + Quoted(name_);
    for (const std::wstring& argument : arguments) tail += L" " + Quoted(argument);
    return tail;
}

std::wstring ChildRole::CommandLine(const std::vector<std::wstring>& arguments) const {
    return L"\"" + ThisProgram() + L"\" " + Tail(arguments);
}

void RunChildRoleWhenAsked() {
    int count = 0;
    LPWSTR* arguments = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (arguments == nullptr) return;
    if (count < 3 || std::wcscmp(arguments[1], kRoleSwitch) != 0) {
        ::LocalFree(arguments);
        return;
    }
    auto role = Roles().find(arguments[2]);
    std::vector<std::wstring> roleArguments(arguments + 3, arguments + count);
    ::LocalFree(arguments);
    // An unknown role ends as a hung child would, so that the test sees it.
    ::ExitProcess(role == Roles().end() ? ~0u : role->second(roleArguments));
}

}  // namespace kesto::test
