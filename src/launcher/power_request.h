#pragma once
#include <string>

namespace kesto {

enum class PowerRequest { None = 0, Reboot = 1, Shutdown = 2, FastShutdown = 3 };

// Which request file the entry left in folder: the first of
// "indicatereboot.dat", "indicateshutdown.dat", "indicatefastshutdown.dat"
// that exists as anything, a folder too.
PowerRequest CheckPowerRequest(const std::wstring& folder);

// Asks the system for the restart or shutdown, with the shutdown privilege
// enabled for the call and put back afterwards. Never forced; nothing logged.
void ExecPowerRequest(PowerRequest request);

}  // namespace kesto
