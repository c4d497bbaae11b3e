#include "test_support.h"

#include "payload/package_format.h"

#include "launcher/launcher.h"
#include "platform/handles.h"

#include <gtest/gtest.h>

#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>

namespace kesto::test {

std::wstring Widen(const std::string& text) {
    if (text.empty()) return std::wstring();
    int length = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring wide(size_t(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), &wide[0], length);
    return wide;
}

std::string Narrow(const std::wstring& text) {
    if (text.empty()) return std::string();
    int length = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string narrow(size_t(length), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), &narrow[0], length, nullptr, nullptr);
    return narrow;
}

std::wstring WindowsPath(const std::string& path) {
    std::wstring wide = Widen(path);
    if (wide.empty() || wide[0] != L'/') return wide;
    std::replace(wide.begin(), wide.end(), L'/', L'\\');
    return L"Z:" + wide;
}

std::wstring EnvironmentPath(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::wstring() : WindowsPath(value);
}

std::wstring StubPath() { return EnvironmentPath("KESTO_STUB"); }

std::wstring TestData(const std::wstring& name) { return EnvironmentPath("KESTO_TEST_DATA") + L"\\" + name; }

ScratchFolder::ScratchFolder(const std::wstring& hint) {
    static std::atomic<unsigned> counter{0};
    std::wstring base = EnvironmentPath("KESTO_TEST_TMP");
    if (base.empty()) {
        wchar_t temp[MAX_PATH];
        ::GetTempPathW(MAX_PATH, temp);
        base = temp;
        if (!base.empty() && base.back() == L'\\') base.pop_back();
    }
    // Wine gives out small process IDs again soon: the tick count keeps a
    // test program from landing in the folder of one that has just ended,
    // whose files Wine may still hold.
    const std::wstring unique = std::to_wstring(::GetCurrentProcessId()) + L"-" +
                                std::to_wstring(::GetTickCount64() % 1000000) + L"-";
    for (;;) {
        path_ = base + L"\\" + hint + L"-" + unique + std::to_wstring(counter++);
        if (!Exists(path_)) break;
    }
    MakeFolders(path_);
}

ScratchFolder::~ScratchFolder() { RemoveTreeWhenReleased(path_); }

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool IsFolder(const std::wstring& path) {
    DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool RemoveTree(const std::wstring& path) {
    DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        for (const std::wstring& name : ListFolder(path)) RemoveTree(path + L"\\" + name);
        ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::RemoveDirectoryW(path.c_str());
    } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        ::RemoveDirectoryW(path.c_str());  // a link: remove the link, not what it points at
    } else {
        ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(path.c_str());
    }
    return !Exists(path);
}

bool RemoveTreeWhenReleased(const std::wstring& path) {
    // Wine keeps an ended child's current directory open a little after the
    // child's process handle is signalled; until then it cannot be removed.
    for (int attempt = 0; attempt < 500; ++attempt) {
        if (RemoveTree(path)) return true;
        ::Sleep(10);
    }
    return false;
}

bool MakeFolders(const std::wstring& path) {
    int result = ::SHCreateDirectoryExW(nullptr, path.c_str(), nullptr);
    return result == ERROR_SUCCESS || result == ERROR_ALREADY_EXISTS;
}

std::vector<std::wstring> ListFolder(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    UniqueFind search(::FindFirstFileW((folder + L"\\*").c_str(), &found));
    if (!search.valid()) return names;
    do {
        std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (::FindNextFileW(search.get(), &found));
    std::sort(names.begin(), names.end());
    return names;
}

std::string ReadBytes(const std::wstring& path) {
    std::string bytes;
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file.valid()) return bytes;
    char block[65536];
    DWORD read = 0;
    while (::ReadFile(file.get(), block, sizeof(block), &read, nullptr) && read > 0) bytes.append(block, read);
    return bytes;
}

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!file.valid()) return false;
    size_t done = 0;
    bool ok = true;
    while (ok && done < bytes.size()) {
        DWORD chunk = DWORD(std::min<size_t>(bytes.size() - done, 1 << 20));
        DWORD written = 0;
        ok = ::WriteFile(file.get(), bytes.data() + done, chunk, &written, nullptr) && written == chunk;
        done += written;
    }
    return ok;
}

bool WriteText(const std::wstring& path, const std::string& text) { return WriteBytes(path, text); }

std::vector<BYTE> OwnUser() {
    HANDLE opened = nullptr;
    std::vector<BYTE> user(256);
    DWORD size = 0;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &opened)) return {};
    UniqueHandle token(opened);
    ::GetTokenInformation(token.get(), TokenUser, user.data(), DWORD(user.size()), &size);
    return user;
}

std::vector<BYTE> WellKnownSid(WELL_KNOWN_SID_TYPE type) {
    std::vector<BYTE> sid(SECURITY_MAX_SID_SIZE);
    DWORD size = DWORD(sid.size());
    ::CreateWellKnownSid(type, nullptr, sid.data(), &size);
    return sid;
}

void ExpectPrivateList(const SECURITY_DESCRIPTOR* descriptor, const std::vector<PSID>& trustees, BYTE aceFlags) {
    ASSERT_NE(descriptor, nullptr);
    auto* writable = const_cast<SECURITY_DESCRIPTOR*>(descriptor);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    PACL acl = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    ASSERT_TRUE(::GetSecurityDescriptorControl(writable, &control, &revision));
    ASSERT_TRUE(::GetSecurityDescriptorDacl(writable, &present, &acl, &defaulted));
    EXPECT_TRUE(present);
    EXPECT_EQ(control & SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    ASSERT_NE(acl, nullptr);
    ASSERT_EQ(acl->AceCount, trustees.size());
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        void* entry = nullptr;
        ASSERT_TRUE(::GetAce(acl, i, &entry));
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        EXPECT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE) << i;
        EXPECT_EQ(allowed->Header.AceFlags, aceFlags) << i;
        EXPECT_EQ(allowed->Mask, DWORD(FILE_ALL_ACCESS)) << i;
        EXPECT_TRUE(::EqualSid(&allowed->SidStart, trustees[i])) << i;
    }
}

std::wstring ExpansionCommandLine(const std::wstring& work, const std::wstring& systemFolder) {
    return L"\"" + systemFolder + L"\\cmd.exe\" /c \"\"" + systemFolder + L"\\expand.exe\" \"" + work +
           L"\\MyData.cab\" -f:* .\"";
}

std::vector<std::wstring> ProgramEntryRunLog(const std::wstring& logFile, const std::wstring& work,
                                             const std::wstring& program, const std::wstring& tail, int code) {
    const std::wstring entry = L"\"" + work + L"\\" + program + L"\"";
    return {
        L"LOG mode (" + logFile + L").",
        L"TempFolder: " + work + L".",
        L"CreateProcess Cmd: " + ExpansionCommandLine(work) + L".",
        L"CreateProcess Dir: " + work + L".",
        L"ExecCab return 0.",
        L"CreateProcess Cmd: " + entry + (tail.empty() ? L"" : L" " + tail) + L".",
        L"CreateProcess Dir: " + work + L".",
        L"ExecBatOrExe return " + std::to_wstring(code) + L".",
        L"return " + std::to_wstring(code) + L".",
    };
}

std::string MarkerBytes() {
    unsigned char marker[kMarkerLength + 1];
    AssembleMarker(marker);
    return std::string(reinterpret_cast<const char*>(marker), kMarkerLength);
}

std::string DigestRecord(const std::string& cabinet) {
    PayloadHash hash;
    hash.Update(reinterpret_cast<const unsigned char*>(cabinet.data()), cabinet.size());
    PayloadDigest digest;
    digest.cabinetBytes = cabinet.size();
    digest.value = hash.Value();
    unsigned char record[kDigestRecordSize];
    WriteDigestRecord(digest, record);
    return std::string(reinterpret_cast<const char*>(record), sizeof(record));
}

std::string Complemented(std::string bytes) {
    for (char& c : bytes) c = char(~static_cast<unsigned char>(c));
    return bytes;
}

std::string LauncherBytes(const std::string& image, const std::string& cabinet, bool withDigest) {
    return image + (withDigest ? DigestRecord(cabinet) : std::string()) + MarkerBytes() + Complemented(cabinet);
}

bool ComposeLauncher(const std::wstring& out, const std::wstring& cabinet, const std::wstring& stub) {
    std::string image = ReadBytes(stub);
    std::string cab = ReadBytes(cabinet);
    if (image.empty() || cab.empty()) return false;
    return WriteBytes(out, LauncherBytes(image, cab));
}

std::vector<std::wstring> ReadLogLines(const std::wstring& path, bool* hasByteOrderMark) {
    std::string bytes = ReadBytes(path);
    std::wstring text(bytes.size() / 2, L'\0');
    for (size_t i = 0; i < text.size(); ++i)
        text[i] = wchar_t(static_cast<unsigned char>(bytes[2 * i]) | (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
    bool mark = !text.empty() && text[0] == 0xFEFF;
    if (hasByteOrderMark != nullptr) *hasByteOrderMark = mark;
    if (mark) text.erase(0, 1);
    std::vector<std::wstring> lines;
    size_t start = 0;
    for (size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

std::wstring WithoutTimePrefix(const std::wstring& line) {
    // "yyyy/mm/dd hh:mm:ss - "
    const wchar_t* shape = L"0000/00/00 00:00:00 - ";
    if (line.size() < 22) return line;
    for (size_t i = 0; i < 22; ++i) {
        bool digit = line[i] >= L'0' && line[i] <= L'9';
        if (shape[i] == L'0' ? !digit : line[i] != shape[i]) return line;
    }
    return line.substr(22);
}

std::vector<std::wstring> LogMessages(const std::wstring& path) {
    std::vector<std::wstring> lines = ReadLogLines(path);
    std::vector<std::wstring> messages;
    for (size_t i = 1; i < lines.size(); ++i) messages.push_back(WithoutTimePrefix(lines[i]));
    return messages;
}

HWND FindStageWindow(DWORD pid) {
    for (HWND window = nullptr;
         (window = ::FindWindowExW(nullptr, window, kesto::kStageWindowClass, nullptr)) != nullptr;) {
        DWORD owner = 0;
        ::GetWindowThreadProcessId(window, &owner);
        if (owner == pid) return window;
    }
    return nullptr;
}

std::vector<std::wstring> ReadMultiString(HKEY root, const wchar_t* key, const wchar_t* value) {
    std::vector<std::wstring> strings;
    DWORD size = 0;
    if (::RegGetValueW(root, key, value, RRF_RT_REG_MULTI_SZ, nullptr, nullptr, &size) != ERROR_SUCCESS)
        return strings;
    std::vector<wchar_t> data(size / sizeof(wchar_t) + 2, L'\0');
    if (::RegGetValueW(root, key, value, RRF_RT_REG_MULTI_SZ, nullptr, data.data(), &size) != ERROR_SUCCESS)
        return strings;
    // Empty strings count: a pending deletion is a name followed by an empty
    // new name. The data ends with two terminators.
    size_t count = size / sizeof(wchar_t);
    size_t start = 0;
    for (size_t i = 0; i < count; ++i) {
        if (data[i] == L'\0') {
            strings.emplace_back(data.data() + start, i - start);
            start = i + 1;
        }
    }
    return strings;
}

std::vector<std::wstring> PendingRestartDeletions() {
    std::vector<std::wstring> strings =
        ReadMultiString(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Control\\Session Manager",
                        L"PendingFileRenameOperations");
    std::vector<std::wstring> deletions;
    for (size_t i = 0; i + 1 < strings.size(); i += 2) {
        if (!strings[i + 1].empty()) continue;  // a rename, not a deletion
        std::wstring name = strings[i];
        if (name.compare(0, 4, L"\\??\\") == 0) name.erase(0, 4);
        deletions.push_back(name);
    }
    return deletions;
}

bool IsLink(const std::wstring& path) {
    DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

std::string HostPath(const std::wstring& path) {
    using ToUnixName = char*(CDECL*)(LPCWSTR);
    FARPROC function = ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name");
    if (function == nullptr) return std::string();
    char* name = reinterpret_cast<ToUnixName>(reinterpret_cast<void*>(function))(path.c_str());
    if (name == nullptr) return std::string();
    std::string hostName = name;
    ::HeapFree(::GetProcessHeap(), 0, name);
    return hostName;
}

// Wine starts a program named by its host path, but gives back no handle
// that waits for it, so the script leaves its status in a file and this
// waits for the file.
bool RunOnHost(const std::string& script) {
    ScratchFolder scratch(L"host");
    std::wstring status = scratch / L"status";
    std::string hostStatus = HostPath(status);
    if (hostStatus.empty()) return false;
    std::wstring commandLine = L"Z:\\bin\\sh -c \"(" + Widen(script) + L"); echo $? >'" + Widen(hostStatus) +
                               L".part' && mv '" + Widen(hostStatus) + L".part' '" + Widen(hostStatus) + L"'\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    for (int wait = 0; wait < 3000 && !Exists(status); ++wait) ::Sleep(20);
    return ReadBytes(status) == "0\n";
}

FolderLink::FolderLink(const std::wstring& link, const std::wstring& target) : link_(link) {
    ::CreateSymbolicLinkW(link.c_str(), target.c_str(),
                          SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
    if (!IsLink(link) && !HostPath(link).empty())
        RunOnHost("ln -s '" + HostPath(target) + "' '" + HostPath(link) + "'");
}

FolderLink::~FolderLink() {
    // Wine's RemoveDirectoryW would act on the target: unlink on the host.
    std::string hostLink = HostPath(link_);
    if (!hostLink.empty()) RunOnHost("rm -f '" + hostLink + "'");
    else ::RemoveDirectoryW(link_.c_str());
}

}  // namespace kesto::test
