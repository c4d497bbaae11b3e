#include "payload/exec_cab.h"

#include <shlobj.h>

#include <string>

#include "launcher/run_state.h"
#include "platform/syscalls.h"
#include "process/exec.h"

namespace kesto {

HANDLE ExecCab() {
    PWSTR systemFolder = nullptr;
    HRESULT result = g_sys.SHGetKnownFolderPath(FOLDERID_System, KF_FLAG_DEFAULT_PATH, nullptr, &systemFolder);
    if (result != S_OK) {
        g_sys.CoTaskMemFree(systemFolder);  // null after a failure; freeing it is harmless
        return nullptr;
    }
    std::wstring program = std::wstring(systemFolder) + L"\\cmd.exe";
    g_sys.CoTaskMemFree(systemFolder);

    // expand.exe unpacks every file (-f:*) into the current directory (.),
    // which is the work folder.
    std::wstring parameters = L"/c expand.exe \"" + g_run.workFolder + L"\\MyData.cab\" -f:* .";
    return ExecCreateProcess(program.c_str(), parameters.c_str(), g_run.workFolder.c_str(), nullptr);
}

}  // namespace kesto
