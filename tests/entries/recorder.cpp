// A test entry that records how it was started, then ends with a chosen code.
//
// The record is UTF-8 text, one item a line, each line ending in CR LF:
//   1. the command line, exactly as GetCommandLineW returns it
//   2. the current directory
//   3. wShowWindow of the startup information, in decimal
//   4. dwFlags of the startup information, in decimal
//   5. the access list of the current directory in the system's string
//      form ("D:P(A;OICI;FA;;;SY)..."), empty when it cannot be read
//
// Where the record goes and the exit code are read from "<own name>.cfg" next
// to the program (recorder.cfg for recorder.exe), never from the command
// line, which is what is being recorded:
//   line 1: the record's path; environment variables are expanded, and a
//           relative path counts from the program's folder
//   line 2: the exit code, in decimal or as 0x hex
// Without the file, or with an empty line, the record goes to
// %KESTO_RECORD_DIR%\<own file name>.txt and the exit code is 0. When the
// record cannot be written, the program ends with 199.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr UINT kRecordFailed = 199;

std::wstring ModulePath() {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), DWORD(buffer.size()));
        if (length < buffer.size()) return std::wstring(buffer.data(), length);
        buffer.resize(buffer.size() * 2);
    }
}

std::wstring ExpandVariables(const std::wstring& text) {
    DWORD size = ::ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
    if (size == 0) return text;
    std::wstring expanded(size, L'\0');
    size = ::ExpandEnvironmentStringsW(text.c_str(), &expanded[0], size);
    expanded.resize(size > 0 ? size - 1 : 0);
    return expanded;
}

std::string ReadFileBytes(const std::wstring& path) {
    std::string bytes;
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return bytes;
    char block[4096];
    DWORD read = 0;
    while (::ReadFile(file, block, sizeof(block), &read, nullptr) && read > 0) bytes.append(block, read);
    ::CloseHandle(file);
    return bytes;
}

std::wstring FromUtf8(const std::string& text) {
    if (text.empty()) return std::wstring();
    int length = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring wide(size_t(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), &wide[0], length);
    return wide;
}

std::string ToUtf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    int length = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string narrow(size_t(length), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), &narrow[0], length, nullptr, nullptr);
    return narrow;
}

// The first two lines of the configuration file, either of them empty when
// missing.
std::vector<std::wstring> ConfigurationLines(const std::wstring& path) {
    std::wstring text = FromUtf8(ReadFileBytes(path));
    if (!text.empty() && text[0] == 0xFEFF) text.erase(0, 1);
    std::vector<std::wstring> lines;
    size_t start = 0;
    while (lines.size() < 2 && start <= text.size()) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) end = text.size();
        std::wstring line = text.substr(start, end - start);
        if (!line.empty() && line.back() == L'\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    lines.resize(2);
    return lines;
}

bool IsRelative(const std::wstring& path) {
    return !(path.size() >= 2 && path[1] == L':') && !(!path.empty() && path[0] == L'\\');
}

std::wstring AccessListText(const std::wstring& path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                                nullptr, &descriptor) != ERROR_SUCCESS)
        return std::wstring();
    LPWSTR text = nullptr;
    std::wstring result;
    if (::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                               &text, nullptr)) {
        result = text;
        ::LocalFree(text);
    }
    ::LocalFree(descriptor);
    return result;
}

bool WriteRecord(const std::wstring& path, const std::wstring& text) {
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    std::string bytes = ToUtf8(text);
    DWORD written = 0;
    bool ok = ::WriteFile(file, bytes.data(), DWORD(bytes.size()), &written, nullptr) && written == bytes.size();
    return ::CloseHandle(file) && ok;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    std::wstring program = ModulePath();
    size_t slash = program.find_last_of(L'\\');
    std::wstring folder = program.substr(0, slash);
    std::wstring fileName = program.substr(slash + 1);
    size_t dot = fileName.find_last_of(L'.');
    std::wstring baseName = dot == std::wstring::npos ? fileName : fileName.substr(0, dot);

    std::vector<std::wstring> configuration = ConfigurationLines(folder + L"\\" + baseName + L".cfg");
    std::wstring recordPath = ExpandVariables(configuration[0]);
    if (recordPath.empty()) recordPath = ExpandVariables(L"%KESTO_RECORD_DIR%\\" + fileName + L".txt");
    if (IsRelative(recordPath)) recordPath = folder + L"\\" + recordPath;
    UINT exitCode = configuration[1].empty() ? 0 : UINT(std::wcstoul(configuration[1].c_str(), nullptr, 0));

    wchar_t directory[MAX_PATH * 2] = {};
    ::GetCurrentDirectoryW(DWORD(MAX_PATH * 2), directory);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    ::GetStartupInfoW(&startup);

    std::wstring record = std::wstring(::GetCommandLineW()) + L"\r\n" + directory + L"\r\n" +
                          std::to_wstring(startup.wShowWindow) + L"\r\n" + std::to_wstring(startup.dwFlags) + L"\r\n" + AccessListText(directory) + L"\r\n";
    if (!WriteRecord(recordPath, record)) return int(kRecordFailed);
    return int(exitCode);
}
