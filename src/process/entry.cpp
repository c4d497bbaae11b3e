#include "process/entry.h"

#include <string>

#include "launcher/run_state.h"
#include "platform/handles.h"
#include "process/exec.h"

namespace kesto {

namespace {

// The system refuses to start a program that needs elevation with this code.
constexpr DWORD kErrorElevationRequired = 740;

// The path of the first match of pattern in the work folder, or empty. Only
// the first match is taken: among several of a kind, the file system's order
// decides.
std::wstring FirstMatch(const wchar_t* pattern) {
    WIN32_FIND_DATAW found;
    UniqueFind search(::FindFirstFileW((g_run.workFolder + pattern).c_str(), &found));
    if (!search.valid()) return std::wstring();
    return g_run.workFolder + L"\\" + found.cFileName;
}

}  // namespace

HANDLE ExecBatOrExe() {
    const wchar_t* parameters = g_run.forwardedParameters.c_str();
    for (const wchar_t* script : {L"\\*.bat", L"\\*.cmd"}) {
        std::wstring entry = FirstMatch(script);
        if (!entry.empty()) return ExecShellExecuteEx(entry.c_str(), parameters, nullptr);
    }
    std::wstring program = FirstMatch(L"\\*.exe");
    if (program.empty()) return nullptr;

    DWORD error = 0;
    HANDLE process = ExecCreateProcess(program.c_str(), parameters, nullptr, &error);
    if (process != nullptr) return process;
    if (error == kErrorElevationRequired) return ExecShellExecuteEx(program.c_str(), parameters, L"runas");
    return nullptr;
}

}  // namespace kesto
