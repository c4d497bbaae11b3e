#include <windows.h>

#include "launcher/launcher.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLineTail, int showCommand) {
    return kesto::RunLauncher(instance, commandLineTail, showCommand);
}
