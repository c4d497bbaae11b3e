#pragma once
#include <windows.h>

namespace kesto {

// Starts the system's cmd.exe running expand.exe on the work folder's
// "MyData.cab", with the work folder as current directory. Returns the
// process handle (the caller owns it), or null when nothing was started.
HANDLE ExecCab();

}  // namespace kesto
