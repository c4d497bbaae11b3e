#pragma once
// The little the packer needs from its host beyond files and cabinets: its
// own path and its arguments as UTF-8.
#include <string>
#include <vector>

namespace kesto::pack {

// The full path of the running program, UTF-8.
std::string ProgramPath();

// Makes the console show UTF-8 output where it needs telling (Windows).
void PrepareConsole();

}  // namespace kesto::pack
