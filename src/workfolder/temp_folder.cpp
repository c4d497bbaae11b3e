#include "workfolder/temp_folder.h"

#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <climits>
#include <vector>

#include "log/format.h"
#include "log/log.h"
#include "platform/handles.h"
#include "platform/syscalls.h"
#include "platform/private_sa.h"

namespace kesto {

namespace {

constexpr DWORD kExpandBufferSize = 5000;

// A child that has just ended, or a scanner that opens fresh files, may hold a
// file for a moment: the deletion is tried again after each of these pauses
// (750 ms in all) before what is left goes at the next restart.
constexpr DWORD kDeletePausesMs[] = {50, 100, 200, 400};

bool IsFolder(const std::wstring& path) {
    DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void RegisterForRestart(const std::wstring& path) { ::MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT); }

// The text in a buffer that a call may have filled to the last character
// without a terminator.
std::wstring TextOf(const std::vector<wchar_t>& buffer) {
    return std::wstring(buffer.data(), std::find(buffer.begin(), buffer.end(), L'\0') - buffer.begin());
}

// A junction or symbolic link (any reparse point): it is dealt with by itself
// and never walked into, so that nothing it points at outside the work folder
// is touched.
bool IsLink(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }

// Deletes the link at path itself. The link is opened as a link, and deleted
// only when the handle shows that it is one: a system that opens what the
// link points at instead (Wine does so with a host symbolic link) would
// delete the target, so then nothing is deleted.
bool RemoveLinkItself(const std::wstring& path) {
    UniqueFile link(::CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!link.valid()) return false;
    FILE_ATTRIBUTE_TAG_INFO opened = {};
    if (!::GetFileInformationByHandleEx(link.get(), FileAttributeTagInfo, &opened, sizeof(opened)) ||
        !IsLink(opened.FileAttributes))
        return false;
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return ::SetFileInformationByHandle(link.get(), FileDispositionInfo, &disposition, sizeof(disposition)) != FALSE;
}

// Removes the links at and below path, each link itself. Returns false when a
// link is left.
bool RemoveLinks(const std::wstring& path) {
    DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;
    if (IsLink(attributes)) return RemoveLinkItself(path);
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return true;
    bool allRemoved = true;
    WIN32_FIND_DATAW found;
    UniqueFind search(::FindFirstFileW((path + L"\\*.*").c_str(), &found));
    if (!search.valid()) return true;
    do {
        if (lstrcmpiW(found.cFileName, L".") == 0 || lstrcmpiW(found.cFileName, L"..") == 0) continue;
        if (!RemoveLinks(path + L"\\" + found.cFileName)) allRemoved = false;
    } while (::FindNextFileW(search.get(), &found));
    return allRemoved;
}

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

    // A result that does not fit the buffer would be cut off: a folder at
    // the cut-off name is not the one asked for, so none is made.
    std::vector<wchar_t> buffer(kExpandBufferSize, L'\0');
    DWORD expanded = ::ExpandEnvironmentStringsW(copy.c_str(), buffer.data(), kExpandBufferSize);
    if (expanded > kExpandBufferSize) return 0;
    if (expanded != 0) copy = TextOf(buffer);

    // After a failed call the buffer is empty, and so is the path: an empty
    // path cannot be created, so the run then ends early.
    std::fill(buffer.begin(), buffer.end(), L'\0');
    if (::GetFullPathNameW(copy.c_str(), kExpandBufferSize, buffer.data(), nullptr) >= kExpandBufferSize) return 0;
    copy = TextOf(buffer);

    if (IsFolder(copy)) {
        path_ = copy;
        return 1;
    }
    if (g_sys.SHCreateDirectoryExW(nullptr, copy.c_str(), nullptr) == ERROR_SUCCESS) {
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
    // The path and its terminator stay within MAX_PATH characters.
    if (base.back() != L'\\' && base.size() + 1 < MAX_PATH) base += L'\\';

    // The temporary folder may be shared (the machine's own, for the local
    // system account) and writable by anyone: the work folder gets an access
    // list of its own, which everything expanded into it inherits.
    CPrivateSA security;
    if (!security.Build(CPrivateSA::kFolder)) return 0;

    for (int number = 0;; ++number) {
        wchar_t name[MAX_PATH];
        FormatText(name, MAX_PATH, L"QzEXF%04d", number);
        std::wstring candidate = base + name;
        // A name that is taken, by a folder, a file or a link, found now or
        // made by someone else before this launcher could make it, is
        // skipped: what is there is never used, changed or removed.
        if (!Exists(candidate)) {
            int result = g_sys.SHCreateDirectoryExW(nullptr, candidate.c_str(), security.Attributes());
            if (result == ERROR_SUCCESS) {
                path_ = candidate;
                return 1;
            }
            if (result != ERROR_ALREADY_EXISTS && result != ERROR_FILE_EXISTS) return 0;
        }
        if (number + 1 == INT_MAX) return 0;
    }
}

CTempFolder::~CTempFolder() {
    if (deleteOnDestroy_ != 0 && !path_.empty() && Exists(path_)) {
        for (size_t pause = 0;; ++pause) {
            Delete();
            if (!Exists(path_) || pause == sizeof(kDeletePausesMs) / sizeof(kDeletePausesMs[0])) break;
            g_sys.Sleep(kDeletePausesMs[pause]);
        }
        // Whatever could not be deleted now goes at the next restart; after a
        // full deletion nothing is left and nothing is registered.
        if (Exists(path_)) LogMessage(L"TempFolder left for deletion at restart: %s.", path_.c_str());
        DeleteAtRestart();
    }
    path_.clear();
}

void CTempFolder::Delete() {
    // Links go first, each by itself: the shell's deletion may follow a link
    // and delete what it points at (Wine empties and removes the target).
    // While a link is left, the tree is only registered.
    if (!RemoveLinks(path_)) return;
    // SHFileOperationW takes a list of names ended by an empty one.
    std::vector<wchar_t> list(path_.size() + 5, L'\0');
    std::copy(path_.begin(), path_.end(), list.begin());
    SHFILEOPSTRUCTW operation = {};
    operation.hwnd = nullptr;
    operation.wFunc = FO_DELETE;
    operation.pFrom = list.data();
    operation.pTo = nullptr;
    operation.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI | FOF_NOCOPYSECURITYATTRIBS;
    g_sys.SHFileOperationW(&operation);
}

void CTempFolder::DeleteAtRestart() {
    DWORD attributes = ::GetFileAttributesW(path_.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    if (!IsLink(attributes)) DeleteTreeAtRestart(path_);
    RegisterForRestart(path_);
}

void CTempFolder::DeleteTreeAtRestart(const std::wstring& folder) {
    WIN32_FIND_DATAW found;
    UniqueFind search(::FindFirstFileW((folder + L"\\*.*").c_str(), &found));
    if (!search.valid()) {
        RegisterForRestart(folder);
        return;
    }
    do {
        if (lstrcmpiW(found.cFileName, L".") == 0 || lstrcmpiW(found.cFileName, L"..") == 0) continue;
        std::wstring child = folder + L"\\" + found.cFileName;
        // A link to a folder is registered itself and never walked into.
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && !IsLink(found.dwFileAttributes))
            DeleteTreeAtRestart(child);
        RegisterForRestart(child);
    } while (::FindNextFileW(search.get(), &found));
}

}  // namespace kesto
