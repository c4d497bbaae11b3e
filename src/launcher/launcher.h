#pragma once
#include <windows.h>

namespace kesto {

// The class name of the hidden stage window; other programs find a running
// launcher by it.
constexpr wchar_t kStageWindowClass[] = L"Kesto{5696BF71-E6D6-4D50-B0B0-D140889839EF}";

// The whole run, from the command line to the exit code: what wWinMain does.
int RunLauncher(HINSTANCE instance, const wchar_t* commandLineTail, int showCommand);

}  // namespace kesto
