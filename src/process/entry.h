#pragma once
#include <windows.h>

namespace kesto {

// Finds the package's entry in the work folder (the first "*.bat", else the
// first "*.cmd", else the first "*.exe") and starts it with the forwarded
// parameters. A program the system refuses to start without elevation (740)
// is started again through the shell with "runas". Returns the process
// handle (the caller owns it), or null when there is no entry or it failed.
HANDLE ExecBatOrExe();

}  // namespace kesto
