#include "payload/exec_cab.h"

#include <shlobj.h>

#include <string>

#include "launcher/run_state.h"
#include "platform/syscalls.h"
#include "process/exec.h"

namespace kesto {

namespace {
// FOLDERID_System, defined here: the library that defines it (uuid) would
// otherwise be linked into the stub, and with it a licence notice.
constexpr KNOWNFOLDERID kSystemFolder = {0x1AC14E77, 0x02E7, 0x4E5D, {0xB7, 0x44, 0x2E, 0xB1, 0xAE, 0x51, 0x98, 0xB7}};
}  // namespace

HANDLE ExecCab() {
    PWSTR systemFolder = nullptr;
    HRESULT result = g_sys.SHGetKnownFolderPath(kSystemFolder, KF_FLAG_DEFAULT_PATH, nullptr, &systemFolder);
    if (result != S_OK) {
        g_sys.CoTaskMemFree(systemFolder);  // null after a failure; freeing it is harmless
        return nullptr;
    }
    const std::wstring folder = systemFolder;
    g_sys.CoTaskMemFree(systemFolder);

    // expand.exe unpacks every file (-f:*) into the current directory (.),
    // which is the work folder. It is named by its full path: cmd.exe would
    // look for a bare name in its current folder first (in extract-only
    // mode, the caller's folder) and then along the PATH, where another user
    // may have put a program of that name. cmd.exe takes the outer pair of
    // quotes off the command and leaves the two quoted paths.
    std::wstring program = folder + L"\\cmd.exe";
    std::wstring parameters =
        L"/c \"\"" + folder + L"\\expand.exe\" \"" + g_run.workFolder + L"\\MyData.cab\" -f:* .\"";
    return ExecCreateProcess(program.c_str(), parameters.c_str(), g_run.workFolder.c_str(), nullptr);
}

}  // namespace kesto
