#pragma once
// The platform calls whose results the tests must be able to choose.
//
// Some failure paths cannot be provoked for real on a test machine (a token
// without the shutdown privilege, error 740 from CreateProcessW, access denied
// from CreateSemaphoreW, an allocation failure), and some calls must never be
// made by a test at all (ExitWindowsEx). The launcher makes these calls through
// this table. Its values are the system's own functions and nothing in the
// launcher changes them; only test programs that link the launcher's code put
// their own functions in, and put the originals back with ResetSystemCalls().
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

namespace kesto {

struct SystemCalls {
    // Restart and shutdown.
    decltype(&::ExitWindowsEx) ExitWindowsEx;
    decltype(&::OpenProcessToken) OpenProcessToken;
    decltype(&::LookupPrivilegeValueW) LookupPrivilegeValueW;
    decltype(&::AdjustTokenPrivileges) AdjustTokenPrivileges;
    // Starting children.
    decltype(&::CreateProcessW) CreateProcessW;
    decltype(&::ShellExecuteExW) ShellExecuteExW;
    decltype(&::SHGetKnownFolderPath) SHGetKnownFolderPath;
    // The log lock and its security attributes.
    decltype(&::CreateSemaphoreW) CreateSemaphoreW;
    decltype(&::WaitForSingleObject) WaitForSingleObject;
    decltype(&::Sleep) Sleep;
    decltype(&::LocalAlloc) LocalAlloc;
    decltype(&::LocalFree) LocalFree;
    // What the run is started with, and when.
    decltype(&::GetCommandLineW) GetCommandLineW;
    decltype(&::GetModuleFileNameW) GetModuleFileNameW;
    decltype(&::GetTempPathW) GetTempPathW;
    decltype(&::GetLocalTime) GetLocalTime;
    decltype(&::SetTimer) SetTimer;
    // Reading the launcher's own file: a read that fails part-way.
    decltype(&::ReadFile) ReadFile;
    // The stage window, which a test cannot keep Wine from creating.
    decltype(&::CreateWindowExW) CreateWindowExW;
};

extern SystemCalls g_sys;

// Puts the system's own functions back into every entry.
void ResetSystemCalls();

}  // namespace kesto
