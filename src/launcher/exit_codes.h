#pragma once
#include <windows.h>

namespace kesto {

// The launcher's own exit codes. A normal run returns the entry's exit code
// instead, unchanged even where it equals one of these; a successful
// extract-only run returns 0.
enum : DWORD {
    kExitInitial = 0x08760000,        // nothing set a result (closed from outside)
    kExitNoChild = 0x08760001,        // a poll tick found no child
    kExitTempFolder = 0x08760002,     // the work folder could not be made
    kExitRegisterClass = 0x08760003,  // RegisterClassExW failed
    kExitCreateWindow = 0x08760004,   // CreateWindowExW failed
    kExitPartialCopy = 0x08760005,    // the payload could not be copied out
    kExitExecCab = 0x08760006,        // the expansion could not be started
    kExitExpand = 0x08760007,         // the expansion ended with non-zero
    kExitExecBatOrExe = 0x08760008,   // no entry, or it could not be started
};

}  // namespace kesto
