#include "platform/guarded_file.h"

#include "platform/syscalls.h"

namespace kesto {

namespace {

constexpr DWORD kLongestPath = 32768;

// The path behind a "\\?\" prefix: "\\?\C:\x" is "C:\x", and "\\?\UNC\s\x"
// is "\\s\x" (one backslash is written into the text for it).
wchar_t* WithoutPrefix(wchar_t* path) {
    if (path[0] == L'\\' && path[1] == L'\\' && path[2] == L'?' && path[3] == L'\\') {
        path += 4;
        if (::CompareStringOrdinal(path, 4, L"UNC\\", 4, TRUE) == CSTR_EQUAL) {
            path += 2;
            *path = L'\\';
        }
    }
    return path;
}

// The length of path without its trailing backslashes.
int TrimmedLength(const wchar_t* path) {
    int length = lstrlenW(path);
    while (length > 0 && path[length - 1] == L'\\') --length;
    return length;
}

bool IsShare(const wchar_t* share, const wchar_t* name, int length) {
    return ::CompareStringOrdinal(share, length, name, length, TRUE) == CSTR_EQUAL &&
           (share[length] == L'\0' || share[length] == L'\\');
}

// Whether a full path (without prefix) can name a file on a disk: a drive
// path, or a share that is not a server's pipes or mailslots. "\\.\pipe\x",
// "\\.\C:\x", "\\?\GLOBALROOT\..." and device names are not.
bool OnDisk(const wchar_t* path) {
    if (path[0] != L'\0' && path[1] == L':') return path[2] == L'\\';
    if (path[0] != L'\\' || path[1] != L'\\' || path[2] == L'.' || path[2] == L'?') return false;
    const wchar_t* share = path + 2;
    while (*share != L'\0' && *share != L'\\') ++share;
    if (*share == L'\0' || share == path + 2) return false;
    ++share;
    return !IsShare(share, L"pipe", 4) && !IsShare(share, L"mailslot", 8);
}

// Whether the handle's final path, links resolved, is expected (a path
// without prefix and trailing backslash, of length characters).
bool FinalPathIs(HANDLE handle, wchar_t* buffer, const wchar_t* expected, int length) {
    DWORD got = ::GetFinalPathNameByHandleW(handle, buffer, kLongestPath, FILE_NAME_NORMALIZED);
    if (got == 0 || got >= kLongestPath) return false;
    const wchar_t* final = WithoutPrefix(buffer);
    return TrimmedLength(final) == length &&
           ::CompareStringOrdinal(final, length, expected, length, TRUE) == CSTR_EQUAL;
}

}  // namespace

bool OpenGuardedFile(const std::wstring& path, DWORD access, SECURITY_ATTRIBUTES* attributes, UniqueFile& file,
                     bool& existed) {
    file.reset();
    std::wstring buffers(3 * kLongestPath, L'\0');
    wchar_t* full = &buffers[0];
    wchar_t* folder = full + kLongestPath;
    wchar_t* final = folder + kLongestPath;
    wchar_t* name = nullptr;
    DWORD length = ::GetFullPathNameW(path.c_str(), kLongestPath, full, &name);
    if (length == 0 || length >= kLongestPath || name == nullptr) return false;

    lstrcpyW(folder, full);
    if (!OnDisk(WithoutPrefix(folder))) return false;

    // The folder, for a moment full up to its backslash, in its long form:
    // a short (8.3) name on the way is no link. It is checked before the
    // file is made in it, and stays open without delete sharing until the
    // file is open: neither it nor a folder above it can be renamed and
    // replaced by a link in between.
    const wchar_t first = *name;
    *name = L'\0';
    length = ::GetLongPathNameW(full, folder, kLongestPath);
    if (length == 0 || length >= kLongestPath) lstrcpyW(folder, full);
    UniqueFile pinned(::CreateFileW(full, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    *name = first;
    wchar_t* expected = WithoutPrefix(folder);
    int expectedLength = TrimmedLength(expected);
    if (!pinned.valid() || !FinalPathIs(pinned.get(), final, expected, expectedLength)) return false;

    // Opened as itself if it is a link; a pipe server that is reached all
    // the same may identify the launcher's user, never act as it.
    file.reset(g_sys.CreateFileW(full, access, 0, attributes, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | SECURITY_SQOS_PRESENT |
                                     SECURITY_IDENTIFICATION,
                                 nullptr));
    existed = ::GetLastError() == ERROR_ALREADY_EXISTS;
    expected[expectedLength] = L'\\';
    lstrcpyW(expected + expectedLength + 1, name);
    BY_HANDLE_FILE_INFORMATION information = {};
    if (file.valid() && g_sys.GetFileType(file.get()) == FILE_TYPE_DISK &&
        g_sys.GetFileInformationByHandle(file.get(), &information) && information.nNumberOfLinks == 1 &&
        (information.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0 &&
        FinalPathIs(file.get(), final, expected, TrimmedLength(expected)))
        return true;
    file.reset();
    return false;
}

}  // namespace kesto
