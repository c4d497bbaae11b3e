// runexit: starts a command line, waits for it and prints the child's full
// 32-bit exit code in decimal on stdout. A Unix shell sees only the low 8 bits
// of a Windows exit code; this keeps all of them.
//
//   runexit.exe [--image] COMMANDLINE...
//
// The arguments, joined by single spaces, are handed to CreateProcessW as the
// child's command line; pass a single argument to give the line exactly.
// With --image the child's image path is printed first, on its own line.
// Exit status: 0 when the child ran (whatever its code), 2 for a usage error,
// 3 when the child could not be started or its code could not be read.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "platform/handles.h"

namespace {

std::string ToUtf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                   nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size,
                        nullptr, nullptr);
    return out;
}

void PrintImagePath(HANDLE process) {
    wchar_t path[1024];
    DWORD size = sizeof path / sizeof path[0];
    if (QueryFullProcessImageNameW(process, 0, path, &size)) {
        std::printf("%s\n", ToUtf8(std::wstring(path, size)).c_str());
    } else {
        std::printf("?\n");
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int first = 1;
    bool showImage = false;
    if (argc > 1 && std::wcscmp(argv[1], L"--image") == 0) {
        showImage = true;
        first = 2;
    }
    if (first >= argc) {
        std::fputs("usage: runexit.exe [--image] COMMANDLINE...\n", stderr);
        return 2;
    }
    std::wstring line;
    for (int i = first; i < argc; ++i) {
        if (i > first) line += L' ';
        line += argv[i];
    }

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    // CreateProcessW may write into the command line, so it gets our own copy.
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &info)) {
        std::fprintf(stderr, "runexit: CreateProcessW failed, error %lu\n", GetLastError());
        return 3;
    }
    kesto::UniqueHandle process(info.hProcess);
    kesto::UniqueHandle thread(info.hThread);
    if (showImage) {
        PrintImagePath(process.get());
        std::fflush(stdout);
    }

    DWORD code = 0;
    if (WaitForSingleObject(process.get(), INFINITE) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(process.get(), &code)) {
        std::fprintf(stderr, "runexit: cannot read the exit code, error %lu\n", GetLastError());
        return 3;
    }
    std::printf("%lu\n", static_cast<unsigned long>(code));
    return 0;
}
