#pragma once
// build: the stub, the marker and the cabinet of a package's sources, written
// into a launcher file that is read back whole before it takes its name.
#include "command_line.h"

namespace kesto::pack {

int Build(const BuildOptions& options);

}  // namespace kesto::pack
