#include "workfolder/temp_folder.h"

#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <climits>
#include <vector>

#include "log/format.h"
#include "platform/syscalls.h"

namespace kesto {

namespace {

constexpr DWORD kExpandBufferSize = 5000;

bool IsFolder(const std::wstring& path) {
    DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void RegisterForRestart(const std::wstring& path) { ::MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT); }

}  // namespace

BOOL CTempFolder::Create(int deleteOnDestroy, const wchar_t* folder) {
    deleteOnDestroy_ = deleteOnDestroy;
    path_.clear();
    if (folder != nullptr && folder[0] != L'\0') return CreateGiven(folder);
    return CreateNumbered();
}

BOOL CTempFolder::CreateGiven(const wchar_t* folder) {
    std::wstring copy = folder;
    if (copy.back() == L'\\') copy.pop_back();  // one backslash only

    std::vector<wchar_t> buffer(kExpandBufferSize, L'\0');
    if (::ExpandEnvironmentStringsW(copy.c_str(), buffer.data(), kExpandBufferSize) != 0) copy = buffer.data();

    // After a failed call the buffer is empty, and so is the path: an empty
    // path cannot be created, so the run then ends early.
    std::fill(buffer.begin(), buffer.end(), L'\0');
    ::GetFullPathNameW(copy.c_str(), kExpandBufferSize, buffer.data(), nullptr);
    copy = buffer.data();

    if (IsFolder(copy)) {
        path_ = copy;
        return 1;
    }
    if (::SHCreateDirectoryExW(nullptr, copy.c_str(), nullptr) == ERROR_SUCCESS) {
        path_ = copy;
        return 1;
    }
    return 0;
}

BOOL CTempFolder::CreateNumbered() {
    wchar_t tempPath[MAX_PATH + 1] = {};
    DWORD length = g_sys.GetTempPathW(MAX_PATH, tempPath);
    if (length == 0 || length > MAX_PATH || tempPath[0] == L'\0') return 0;
    std::wstring base = tempPath;
    if (base.back() != L'\\' && base.size() < MAX_PATH) base += L'\\';

    for (int number = 0;; ++number) {
        wchar_t name[MAX_PATH];
        FormatText(name, MAX_PATH, L"QzEXF%04d", number);
        std::wstring candidate = base + name;
        if (IsFolder(candidate)) {
            // Taken: existing folders are skipped, never reused.
            if (number + 1 == INT_MAX) return 0;
            continue;
        }
        // Another launcher may make the same folder between the test and
        // this call; creation then fails and no further number is tried.
        if (::SHCreateDirectoryExW(nullptr, candidate.c_str(), nullptr) != ERROR_SUCCESS) return 0;
        path_ = candidate;
        return 1;
    }
}

CTempFolder::~CTempFolder() {
    if (deleteOnDestroy_ != 0 && !path_.empty() && Exists(path_)) {
        // SHFileOperationW takes a list of names ended by an empty one.
        std::vector<wchar_t> list(path_.size() + 5, L'\0');
        std::copy(path_.begin(), path_.end(), list.begin());
        SHFILEOPSTRUCTW operation = {};
        operation.hwnd = nullptr;
        operation.wFunc = FO_DELETE;
        operation.pFrom = list.data();
        operation.pTo = nullptr;
        operation.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI | FOF_NOCOPYSECURITYATTRIBS;
        ::SHFileOperationW(&operation);
        // Whatever could not be deleted now goes at the next restart; after a
        // full deletion nothing is left and nothing is registered.
        DeleteAtRestart();
    }
    path_.clear();
}

void CTempFolder::DeleteAtRestart() {
    if (!Exists(path_)) return;
    DeleteTreeAtRestart(path_);
    RegisterForRestart(path_);
}

void CTempFolder::DeleteTreeAtRestart(const std::wstring& folder) {
    WIN32_FIND_DATAW found;
    HANDLE search = ::FindFirstFileW((folder + L"\\*.*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        RegisterForRestart(folder);
        return;
    }
    do {
        if (lstrcmpiW(found.cFileName, L".") == 0 || lstrcmpiW(found.cFileName, L"..") == 0) continue;
        std::wstring child = folder + L"\\" + found.cFileName;
        // A link to a folder (junction or symbolic link) is registered
        // itself and never walked into: what it points at lies outside the
        // work folder and must not be touched.
        bool isLink = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && !isLink) DeleteTreeAtRestart(child);
        RegisterForRestart(child);
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
}

}  // namespace kesto
