#include <windows.h>

#include "launcher/exit_codes.h"
#include "launcher/launcher.h"
#include "platform/syscalls.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLineTail, int showCommand) {
    // Before anything else: no library may come from outside the system folder.
    if (!kesto::LoadSystemCalls()) return int(kesto::kExitInitial);
    return kesto::RunLauncher(instance, commandLineTail, showCommand);
}
