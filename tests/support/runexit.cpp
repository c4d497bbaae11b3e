// runexit "COMMAND LINE" [TIMEOUT_SECONDS]: starts the command line exactly as
// given, waits for it and prints its full 32-bit exit code in decimal. A Unix
// shell running Wine sees only the low 8 bits of an exit code; scripts use
// this to read the whole code. Exits 0 when the program ran, 2 when it could
// not be started, 3 when it did not end in time.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fputs("usage: runexit \"COMMAND LINE\" [TIMEOUT_SECONDS]\n", stderr);
        return 2;
    }
    DWORD timeoutMs = argc > 2 ? DWORD(std::wcstoul(argv[2], nullptr, 10)) * 1000 : INFINITE;
    std::vector<wchar_t> commandLine(argv[1], argv[1] + lstrlenW(argv[1]) + 1);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        std::fprintf(stderr, "runexit: cannot start (error %lu)\n", GetLastError());
        return 2;
    }
    CloseHandle(process.hThread);
    if (WaitForSingleObject(process.hProcess, timeoutMs) != WAIT_OBJECT_0) {
        std::fputs("runexit: the program did not end in time\n", stderr);
        return 3;
    }
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    std::printf("%lu\n", exitCode);
    return 0;
}
