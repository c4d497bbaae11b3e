#pragma once
#include <string>

namespace kesto {

enum class PowerRequest { None = 0, Reboot = 1, Shutdown = 2, FastShutdown = 3 };

// Which request file the entry left in folder: the first of
// "indicatereboot.dat", "indicateshutdown.dat", "indicatefastshutdown.dat"
// that exists as anything, a folder too. With fromCabinet (an extract-only
// folder, which anyone may have written to before the run), only the names
// that the run's cabinet there ("MyData.cab") lists at its top level count: a
// file that was there before is no request of this package.
PowerRequest CheckPowerRequest(const std::wstring& folder, bool fromCabinet = false);

// Asks the system for the restart or shutdown, with the shutdown privilege
// enabled for the call and put back afterwards. Never forced; nothing logged.
void ExecPowerRequest(PowerRequest request);

}  // namespace kesto
