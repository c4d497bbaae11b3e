#pragma once
// The platform calls that the launcher makes through a table.
//
// Which kernel32 calls go through it (the rule; every other call is made
// directly):
// - a call whose result a test must choose because it cannot be had for real
//   on a test machine: a token without the shutdown privilege, error 740 from
//   CreateProcessW, access denied from CreateSemaphoreW, an allocation that
//   fails (and the frees that go with the allocations), a file owned by
//   another user, a read that ends early or a write that falls short, a file
//   opened by a disk path that is no disk file;
// - a call whose arguments a test must see because Wine does not keep them
//   for reading back: the access list handed to a new log file;
// - a call whose real effect a test cannot have: ExitWindowsEx (never made by
//   a test at all), sleeps of minutes and the clock that bounds them, and the
//   launcher's own command line and file, which an in-process run chooses.
// Only test programs put their own functions in; LoadSystemCalls puts the
// system's back. And no library but kernel32 and the C runtime is imported
// when the program loads: a library that the loader resolves before wWinMain
// runs may pull in others from the launcher's own folder, where anyone may
// have put a file of that name. The user, shell, security and COM functions
// are therefore all taken at run time from libraries loaded from the system
// folder only, after the search path has been restricted to it, and called
// through the table.
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>
#include <aclapi.h>

namespace kesto {

struct SystemCalls {
    // kernel32, imported when the program loads.
    decltype(&::CreateProcessW) CreateProcessW;
    decltype(&::CreateSemaphoreW) CreateSemaphoreW;
    decltype(&::WaitForSingleObject) WaitForSingleObject;
    decltype(&::Sleep) Sleep;
    decltype(&::LocalAlloc) LocalAlloc;
    decltype(&::LocalFree) LocalFree;
    decltype(&::GetCommandLineW) GetCommandLineW;
    decltype(&::GetModuleFileNameW) GetModuleFileNameW;
    decltype(&::GetTempPathW) GetTempPathW;
    decltype(&::GetLocalTime) GetLocalTime;
    decltype(&::GetTickCount) GetTickCount;
    decltype(&::CreateFileW) CreateFileW;
    decltype(&::ReadFile) ReadFile;
    decltype(&::WriteFile) WriteFile;
    decltype(&::GetFileInformationByHandle) GetFileInformationByHandle;
    decltype(&::GetFileType) GetFileType;

    // user32, loaded by LoadSystemCalls.
    decltype(&::ExitWindowsEx) ExitWindowsEx;
    decltype(&::SetTimer) SetTimer;
    decltype(&::KillTimer) KillTimer;
    decltype(&::CreateWindowExW) CreateWindowExW;
    decltype(&::RegisterClassExW) RegisterClassExW;
    decltype(&::LoadCursorW) LoadCursorW;
    decltype(&::ShowWindow) ShowWindow;
    decltype(&::UpdateWindow) UpdateWindow;
    decltype(&::DestroyWindow) DestroyWindow;
    decltype(&::IsWindow) IsWindow;
    decltype(&::DefWindowProcW) DefWindowProcW;
    decltype(&::GetMessageW) GetMessageW;
    decltype(&::PeekMessageW) PeekMessageW;
    decltype(&::TranslateMessage) TranslateMessage;
    decltype(&::DispatchMessageW) DispatchMessageW;
    decltype(&::PostMessageW) PostMessageW;
    decltype(&::PostQuitMessage) PostQuitMessage;
    decltype(&::MsgWaitForMultipleObjects) MsgWaitForMultipleObjects;
    // shell32.
    decltype(&::CommandLineToArgvW) CommandLineToArgvW;
    decltype(&::ShellExecuteExW) ShellExecuteExW;
    decltype(&::SHGetKnownFolderPath) SHGetKnownFolderPath;
    decltype(&::SHCreateDirectoryExW) SHCreateDirectoryExW;
    decltype(&::SHFileOperationW) SHFileOperationW;
    // advapi32.
    decltype(&::OpenProcessToken) OpenProcessToken;
    decltype(&::GetTokenInformation) GetTokenInformation;
    decltype(&::LookupPrivilegeValueW) LookupPrivilegeValueW;
    decltype(&::AdjustTokenPrivileges) AdjustTokenPrivileges;
    decltype(&::CreateWellKnownSid) CreateWellKnownSid;
    decltype(&::GetLengthSid) GetLengthSid;
    decltype(&::EqualSid) EqualSid;
    decltype(&::InitializeAcl) InitializeAcl;
    decltype(&::AddAccessAllowedAceEx) AddAccessAllowedAceEx;
    decltype(&::InitializeSecurityDescriptor) InitializeSecurityDescriptor;
    decltype(&::SetSecurityDescriptorDacl) SetSecurityDescriptorDacl;
    decltype(&::SetSecurityDescriptorControl) SetSecurityDescriptorControl;
    decltype(&::GetSecurityInfo) GetSecurityInfo;
    // ole32.
    decltype(&::CoTaskMemFree) CoTaskMemFree;
};

extern SystemCalls g_sys;

// Restricts the library search path to the system folder for the rest of the
// process and loads the libraries above from there. Called first thing, before
// any other call through the table; false when a library or function cannot
// be had, and the program must then end without making any of these calls.
// Called again (by tests), it puts the system's own functions back into every
// entry.
bool LoadSystemCalls();

}  // namespace kesto
