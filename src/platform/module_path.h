#pragma once
#include <string>

namespace kesto {

// The full path of the launcher's own file. The buffer grows until the whole
// path fits, so a launcher stored under a long path never works on a cut-off
// name (which could name another file). False when the system gives no path.
bool GetOwnModulePath(std::wstring& path);

}  // namespace kesto
