#include "platform/module_path.h"

#include "platform/syscalls.h"

namespace kesto {

bool GetOwnModulePath(std::wstring& path) {
    // 32768 characters hold the longest path the system handles at all.
    constexpr DWORD kLongestPath = 32768;
    for (DWORD size = MAX_PATH;; size = size * 2 < kLongestPath ? size * 2 : kLongestPath) {
        path.assign(size, L'\0');
        DWORD length = g_sys.GetModuleFileNameW(nullptr, &path[0], size);
        if (length == 0) break;
        if (length < size) {  // a result of size means the name was cut off
            path.resize(length);
            return true;
        }
        if (size == kLongestPath) break;
    }
    path.clear();
    return false;
}

}  // namespace kesto
