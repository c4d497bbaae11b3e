#pragma once
// inspect: a package read the way the launcher reads it, every data block
// checked, and what it holds printed (or as JSON).
#include "command_line.h"

namespace kesto::pack {

int Inspect(const InspectOptions& options);

}  // namespace kesto::pack
