#include "host.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <filesystem>

namespace kesto::pack {

#ifdef _WIN32

std::string ProgramPath() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = ::GetModuleFileNameW(nullptr, &buffer[0], DWORD(buffer.size()));
        if (length < buffer.size()) {
            buffer.resize(length);
            return std::filesystem::path(buffer).u8string();
        }
        buffer.resize(buffer.size() * 2);
    }
}

void PrepareConsole() { ::SetConsoleOutputCP(CP_UTF8); }

#else

std::string ProgramPath() {
    std::error_code error;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string() : self.string();
}

void PrepareConsole() {}

#endif

}  // namespace kesto::pack
