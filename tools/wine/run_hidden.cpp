// kesto-run-hidden: starts one command line hidden, the way deployment tools
// start packages (SW_HIDE), waits for it and prints its whole 32-bit exit
// code in decimal on stdout; a Unix shell would see only the low 8 bits.
// `kesto-pack try` runs packages under Wine through it.
//
//   kesto-run-hidden.exe COMMANDLINE
//
// COMMANDLINE, one argument, goes to CreateProcessW exactly as it is: Wine
// quotes each Unix argument on its way in and the C runtime takes the quotes
// off again, so the line arrives unchanged, which `wine cmd /c` does not do.
// Before the start it turns off Wine's crash dialog and debugger for this
// prefix: a crashing entry ends at once instead of waiting for a click.
//
// Exit status: 0 the program ran (whatever its code), 2 a usage error, 3 it
// could not be started or its code could not be read (the reason on stderr).
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

// Owns one kernel handle.
class Handle {
public:
    explicit Handle(HANDLE handle) : handle_(handle) {}
    ~Handle() {
        if (handle_ != nullptr) CloseHandle(handle_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

void TurnOffCrashDialogs() {
    DWORD zero = 0;
    RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Wine\\WineDbg", L"ShowCrashDialog", REG_DWORD, &zero, sizeof zero);
    for (const wchar_t* key : {L"Software\\Microsoft\\Windows NT\\CurrentVersion\\AeDebug",
                               L"Software\\Wow6432Node\\Microsoft\\Windows NT\\CurrentVersion\\AeDebug"})
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, key, L"Debugger");
}

std::string SystemMessage(DWORD error) {
    char text[512] = {};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                                  sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == '.')) --length;
    return std::string(text, length);
}

int Failed(const char* what) {
    DWORD error = GetLastError();
    std::fprintf(stderr, "kesto-run-hidden: %s: error %lu (%s)\n", what, static_cast<unsigned long>(error),
                 SystemMessage(error).c_str());
    return 3;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2 || argv[1][0] == L'\0') {
        std::fputs("usage: kesto-run-hidden.exe COMMANDLINE\n", stderr);
        return 2;
    }
    TurnOffCrashDialogs();
    std::wstring line = argv[1];  // CreateProcessW may write into it

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return Failed("cannot start the program");
    Handle process(info.hProcess);
    Handle thread(info.hThread);
    DWORD code = 0;
    if (WaitForSingleObject(process.get(), INFINITE) != WAIT_OBJECT_0 || !GetExitCodeProcess(process.get(), &code))
        return Failed("cannot read the exit code");
    std::printf("%lu\n", static_cast<unsigned long>(code));
    return 0;
}
