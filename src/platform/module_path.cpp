#include "platform/module_path.h"

#include "platform/syscalls.h"

namespace kesto {

bool GetOwnModulePath(std::wstring& path) {
    // 32767 characters is the longest path the system handles at all.
    for (DWORD size = MAX_PATH; size <= 32768; size *= 2) {
        path.assign(size, L'\0');
        DWORD length = g_sys.GetModuleFileNameW(nullptr, &path[0], size);
        if (length == 0) break;
        if (length < size) {  // a result of size means the name was cut off
            path.resize(length);
            return true;
        }
    }
    path.clear();
    return false;
}

}  // namespace kesto
