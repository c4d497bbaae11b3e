#include "platform/syscalls.h"

#include <cstddef>

namespace kesto {

namespace {

SystemCalls KernelFunctions() {
    SystemCalls calls = {};
    calls.CreateProcessW = ::CreateProcessW;
    calls.CreateSemaphoreW = ::CreateSemaphoreW;
    calls.WaitForSingleObject = ::WaitForSingleObject;
    calls.Sleep = ::Sleep;
    calls.LocalAlloc = ::LocalAlloc;
    calls.LocalFree = ::LocalFree;
    calls.GetCommandLineW = ::GetCommandLineW;
    calls.GetModuleFileNameW = ::GetModuleFileNameW;
    calls.GetTempPathW = ::GetTempPathW;
    calls.GetLocalTime = ::GetLocalTime;
    calls.GetTickCount = ::GetTickCount;
    calls.CreateFileW = ::CreateFileW;
    calls.ReadFile = ::ReadFile;
    calls.WriteFile = ::WriteFile;
    calls.GetFileInformationByHandle = ::GetFileInformationByHandle;
    calls.GetFileType = ::GetFileType;
    return calls;
}

// The functions taken at run time: the library, the exported name and the
// entry of the table that receives it. Entries of one library stand together.
struct LoadedCall {
    const wchar_t* library;
    const char* name;
    size_t offset;
};
#define KESTO_LOADED(library, function) {library, #function, offsetof(SystemCalls, function)}
constexpr wchar_t kUser32[] = L"user32.dll";
constexpr wchar_t kShell32[] = L"shell32.dll";
constexpr wchar_t kAdvapi32[] = L"advapi32.dll";
constexpr wchar_t kOle32[] = L"ole32.dll";
constexpr LoadedCall kLoadedCalls[] = {
    KESTO_LOADED(kUser32, ExitWindowsEx),
    KESTO_LOADED(kUser32, SetTimer),
    KESTO_LOADED(kUser32, KillTimer),
    KESTO_LOADED(kUser32, CreateWindowExW),
    KESTO_LOADED(kUser32, RegisterClassExW),
    KESTO_LOADED(kUser32, LoadCursorW),
    KESTO_LOADED(kUser32, ShowWindow),
    KESTO_LOADED(kUser32, UpdateWindow),
    KESTO_LOADED(kUser32, DestroyWindow),
    KESTO_LOADED(kUser32, IsWindow),
    KESTO_LOADED(kUser32, DefWindowProcW),
    KESTO_LOADED(kUser32, GetMessageW),
    KESTO_LOADED(kUser32, PeekMessageW),
    KESTO_LOADED(kUser32, TranslateMessage),
    KESTO_LOADED(kUser32, DispatchMessageW),
    KESTO_LOADED(kUser32, PostMessageW),
    KESTO_LOADED(kUser32, PostQuitMessage),
    KESTO_LOADED(kUser32, MsgWaitForMultipleObjects),
    KESTO_LOADED(kShell32, CommandLineToArgvW),
    KESTO_LOADED(kShell32, ShellExecuteExW),
    KESTO_LOADED(kShell32, SHGetKnownFolderPath),
    KESTO_LOADED(kShell32, SHCreateDirectoryExW),
    KESTO_LOADED(kShell32, SHFileOperationW),
    KESTO_LOADED(kAdvapi32, OpenProcessToken),
    KESTO_LOADED(kAdvapi32, GetTokenInformation),
    KESTO_LOADED(kAdvapi32, LookupPrivilegeValueW),
    KESTO_LOADED(kAdvapi32, AdjustTokenPrivileges),
    KESTO_LOADED(kAdvapi32, CreateWellKnownSid),
    KESTO_LOADED(kAdvapi32, GetLengthSid),
    KESTO_LOADED(kAdvapi32, EqualSid),
    KESTO_LOADED(kAdvapi32, InitializeAcl),
    KESTO_LOADED(kAdvapi32, AddAccessAllowedAceEx),
    KESTO_LOADED(kAdvapi32, InitializeSecurityDescriptor),
    KESTO_LOADED(kAdvapi32, SetSecurityDescriptorDacl),
    KESTO_LOADED(kAdvapi32, SetSecurityDescriptorControl),
    KESTO_LOADED(kAdvapi32, GetSecurityInfo),
    KESTO_LOADED(kOle32, CoTaskMemFree),
};
#undef KESTO_LOADED

SystemCalls g_system = KernelFunctions();
bool g_loaded = false;

// Where SetDefaultDllDirectories exists (Windows 8, and 7 and Vista with
// their loader update), the search path of the whole process is the system
// folder from now on, for the libraries these load in turn too. Without it,
// each library is loaded by its full system path with the altered search
// order, so that what it imports is looked for in the system folder first,
// and the current folder is taken out of the search path.
bool RestrictLibrarySearch(bool& restricted) {
    using SetDefaultDllDirectoriesCall = BOOL(WINAPI*)(DWORD);
    auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesCall>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
    restricted = setDefault != nullptr;
    if (restricted) return setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32) != FALSE;
    return ::SetDllDirectoryW(L"") != FALSE;
}

HMODULE LoadSystemLibrary(const wchar_t* name, bool restricted) {
    if (restricted) return ::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    wchar_t path[MAX_PATH];
    UINT length = ::GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length + 1 + lstrlenW(name) >= MAX_PATH) return nullptr;
    path[length] = L'\\';
    lstrcpyW(path + length + 1, name);
    return ::LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

}  // namespace

SystemCalls g_sys = g_system;

bool LoadSystemCalls() {
    if (!g_loaded) {
        bool restricted = false;
        if (!RestrictLibrarySearch(restricted)) return false;
        const wchar_t* libraryName = nullptr;
        HMODULE library = nullptr;
        for (const LoadedCall& call : kLoadedCalls) {
            if (call.library != libraryName) {
                libraryName = call.library;
                library = LoadSystemLibrary(libraryName, restricted);
                if (library == nullptr) return false;
            }
            FARPROC function = ::GetProcAddress(library, call.name);
            if (function == nullptr) return false;
            *reinterpret_cast<FARPROC*>(reinterpret_cast<char*>(&g_system) + call.offset) = function;
        }
        g_loaded = true;
    }
    g_sys = g_system;
    return true;
}

}  // namespace kesto
