#include "process/exec.h"

#include <shellapi.h>

#include <string>
#include <vector>

#include "launcher/run_state.h"
#include "log/log.h"
#include "platform/handles.h"
#include "platform/syscalls.h"

namespace kesto {

namespace {

bool HasText(const wchar_t* text) { return text != nullptr && text[0] != L'\0'; }

std::wstring Quoted(const wchar_t* path) { return L"\"" + std::wstring(path) + L"\""; }

// The folder of a path: everything before its last backslash. A path without
// one has no folder; the empty result then lets the system use the
// launcher's own current directory.
std::wstring FolderOf(const wchar_t* path) {
    std::wstring folder = path;
    size_t slash = folder.rfind(L'\\');
    folder.resize(slash == std::wstring::npos ? 0 : slash);
    return folder;
}

}  // namespace

HANDLE ExecCreateProcess(const wchar_t* path, const wchar_t* parameters, const wchar_t* directory, DWORD* error) {
    std::wstring commandLine = Quoted(path);
    if (HasText(parameters)) {
        commandLine += L' ';
        commandLine += parameters;
    }

    std::wstring currentDirectory;
    if (HasText(directory)) {
        currentDirectory = directory;
        if (currentDirectory.back() == L'\\') currentDirectory.pop_back();  // one only
    } else {
        currentDirectory = FolderOf(path);
    }

    // CreateProcessW may write into its command line.
    std::vector<wchar_t> writable(commandLine.begin(), commandLine.end());
    writable.push_back(L'\0');

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};

    LogMessage(L"CreateProcess Cmd: %s.", commandLine.c_str());
    LogMessage(L"CreateProcess Dir: %s.", currentDirectory.c_str());

    BOOL started = g_sys.CreateProcessW(nullptr, writable.data(), nullptr, nullptr, FALSE,
                                        CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP, nullptr,
                                        currentDirectory.empty() ? nullptr : currentDirectory.c_str(), &startup,
                                        &process);
    if (!started) {
        DWORD code = ::GetLastError();
        if (error != nullptr) *error = code;
        LogMessage(L"Failed to CreateProcess (%d).", int(code));
        return nullptr;
    }
    UniqueHandle thread(process.hThread);  // not needed: closed here
    return process.hProcess;
}

HANDLE ExecShellExecuteEx(const wchar_t* path, const wchar_t* parameters, const wchar_t* verb) {
    std::wstring quotedPath = Quoted(path);
    std::wstring folder = FolderOf(path);

    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_NO_CONSOLE;
    info.hwnd = nullptr;
    info.lpFile = quotedPath.c_str();

    LogMessage(L"ShellExecuteEx Path:%s.", quotedPath.c_str());
    if (HasText(parameters)) {
        info.lpParameters = parameters;
        LogMessage(L"ShellExecuteEx Param:%s.", parameters);
    }
    if (HasText(verb)) {
        info.lpVerb = verb;
        LogMessage(L"ShellExecuteEx Verb:%s.", verb);
    }
    info.nShow = g_run.hide ? SW_HIDE : SW_SHOW;
    info.hInstApp = ::GetModuleHandleW(nullptr);
    info.lpDirectory = folder.empty() ? nullptr : folder.c_str();
    LogMessage(L"ShellExecuteEx Dir:%s.", folder.c_str());

    if (!g_sys.ShellExecuteExW(&info)) {
        LogMessage(L"  Error - Exec failed (%d).", int(::GetLastError()));
        return nullptr;
    }
    // Started without a process of its own (handed to a running program):
    // there is nothing to wait for, which the caller takes as a failed start.
    return info.hProcess;
}

bool PollChildProcess(DWORD* exitCode) {
    HANDLE child = g_run.child;
    DWORD result = g_sys.MsgWaitForMultipleObjects(1, &child, FALSE, 0, QS_ALLINPUT);
    if (result == WAIT_OBJECT_0) {
        DWORD code = 0;
        if (::GetExitCodeProcess(child, &code) && exitCode != nullptr) *exitCode = code;
        return false;
    }
    if (result == WAIT_OBJECT_0 + 1) {
        MSG message;
        while (g_sys.PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                // The quit request belongs to the message loop of the run:
                // hand it back and stop pumping, so that the loop ends.
                g_sys.PostQuitMessage(int(message.wParam));
                break;
            }
            g_sys.TranslateMessage(&message);
            g_sys.DispatchMessageW(&message);
        }
        return true;  // the next tick looks at the child again
    }
    if (result == WAIT_TIMEOUT) return true;
    return false;  // the wait failed: nothing more to wait for
}

}  // namespace kesto
