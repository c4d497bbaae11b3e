// A test entry whose behaviour the launcher's own command-line tail chooses
// (the launcher hands its whole tail to the entry). Words it does not know,
// the launcher's options among them, are ignored. In the order it acts:
//
//   --list=PATH     writes the listing (listing.h) of its own folder, the
//                   launcher's MyData.cab left out
//   --started       writes started.txt beside itself
//   --hold=FILE     starts a copy of itself that opens held.dat beside the
//                   entry without delete sharing and keeps it open until FILE
//                   exists (at most two minutes); returns once it is open
//   --leave-open    opens every file of its folder and ends without closing
//   --wait          waits until release.txt appears beside itself
//   --crash         writes through a null pointer
//   --exit=N        ends with N (decimal); default 0
//
// Failures of its own end it with 199.
#include <windows.h>
#include <shellapi.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "listing.h"

namespace {

constexpr int kOwnFailure = 199;

std::wstring ModuleFolder() {
    wchar_t path[MAX_PATH * 2] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH * 2);
    std::wstring folder = path;
    return folder.substr(0, folder.find_last_of(L'\\'));
}

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool WriteFileText(const std::wstring& path, const std::string& text) {
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = ::WriteFile(file, text.data(), DWORD(text.size()), &written, nullptr) && written == text.size();
    return ::CloseHandle(file) && ok;
}

bool WaitForFile(const std::wstring& path, DWORD timeoutMs) {
    for (DWORD waited = 0; waited < timeoutMs; waited += 20) {
        if (Exists(path)) return true;
        ::Sleep(20);
    }
    return false;
}

// The holder: keeps held.dat open without delete sharing until the release
// file exists, then ends.
int Hold(const std::wstring& heldFile, const std::wstring& releaseFile) {
    HANDLE held = ::CreateFileW(heldFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE) return kOwnFailure;
    WriteFileText(heldFile + L".open", "open");
    WaitForFile(releaseFile, 120000);
    ::CloseHandle(held);
    return 0;
}

// Starts the holder, detached from this process, and waits until it holds
// the file.
bool StartHolder(const std::wstring& folder, const std::wstring& releaseFile) {
    wchar_t self[MAX_PATH * 2] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH * 2);
    std::wstring held = folder + L"\\held.dat";
    std::wstring line = L"\"" + std::wstring(self) + L"\" --holder \"" + held + L"\" \"" + releaseFile + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    // Its current directory is not the work folder, so that only the held
    // file keeps the folder from being deleted.
    wchar_t windows[MAX_PATH] = {};
    ::GetWindowsDirectoryW(windows, MAX_PATH);
    if (!::CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr, windows, &startup,
                          &process))
        return false;
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return WaitForFile(held + L".open", 30000);
}

std::wstring ValueOf(const wchar_t* argument, const wchar_t* name) {
    size_t length = wcslen(name);
    return wcsncmp(argument, name, length) == 0 ? std::wstring(argument + length) : std::wstring();
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    int argc = 0;
    wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    if (argv == nullptr) return kOwnFailure;
    if (argc == 4 && wcscmp(argv[1], L"--holder") == 0) return Hold(argv[2], argv[3]);

    std::wstring folder = ModuleFolder();
    std::wstring list, holdRelease;
    bool started = false, leaveOpen = false, wait = false, crash = false;
    int exitCode = 0;
    for (int i = 1; i < argc; ++i) {
        std::wstring value;
        if (!(value = ValueOf(argv[i], L"--list=")).empty()) list = value;
        if (!(value = ValueOf(argv[i], L"--hold=")).empty()) holdRelease = value;
        if (!(value = ValueOf(argv[i], L"--exit=")).empty()) exitCode = int(std::wcstol(value.c_str(), nullptr, 10));
        started |= wcscmp(argv[i], L"--started") == 0;
        leaveOpen |= wcscmp(argv[i], L"--leave-open") == 0;
        wait |= wcscmp(argv[i], L"--wait") == 0;
        crash |= wcscmp(argv[i], L"--crash") == 0;
    }
    ::LocalFree(argv);

    if (!list.empty() && !WriteFileText(list, kesto::listing::FolderListing(folder, {L"MyData.cab"}))) return kOwnFailure;
    if (started && !WriteFileText(folder + L"\\started.txt", "started")) return kOwnFailure;
    if (!holdRelease.empty() && !StartHolder(folder, holdRelease)) return kOwnFailure;
    if (leaveOpen) {
        std::vector<std::wstring> files;
        kesto::listing::CollectFiles(folder, L"", files);
        for (const std::wstring& name : files)
            ::CreateFileW((folder + L"\\" + name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                          nullptr);  // never closed: the process ends with them open
    }
    if (wait) WaitForFile(folder + L"\\release.txt", 600000);
    if (crash) {
        volatile int* nowhere = nullptr;
        *nowhere = 1;
    }
    return exitCode;
}
