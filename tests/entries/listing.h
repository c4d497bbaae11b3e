#pragma once
// What a folder holds, as one text that two folders can be compared by: every
// file below it, one a line, "name|size|FNV-1a of its bytes", sorted, UTF-8,
// CR LF. Shared by the actor entry, which lists its work folder, and the
// tests, which list the folder a package was made from.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace kesto::listing {

inline std::string Utf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    int length = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string narrow(size_t(length), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), &narrow[0], length, nullptr, nullptr);
    return narrow;
}

// The files below top/relative, as names relative to top.
inline void CollectFiles(const std::wstring& top, const std::wstring& relative, std::vector<std::wstring>& files) {
    WIN32_FIND_DATAW found;
    std::wstring folder = relative.empty() ? top : top + L"\\" + relative;
    HANDLE search = ::FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        std::wstring path = relative.empty() ? name : relative + L"\\" + name;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            CollectFiles(top, path, files);
        } else {
            files.push_back(path);
        }
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
}

// "size|hash" of a file's bytes; empty when it cannot be read.
inline std::string Fingerprint(const std::wstring& path) {
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::string();
    uint64_t size = 0, hash = 14695981039346656037ull;
    std::vector<unsigned char> block(65536);
    DWORD read = 0;
    bool ok = true;
    while ((ok = ::ReadFile(file, block.data(), DWORD(block.size()), &read, nullptr) != FALSE) && read > 0) {
        for (DWORD i = 0; i < read; ++i) hash = (hash ^ block[i]) * 1099511628211ull;
        size += read;
    }
    ::CloseHandle(file);
    return ok ? std::to_string(size) + "|" + std::to_string(hash) : std::string();
}

// The listing of folder, the names in leaveOut (top level only) left out.
inline std::string FolderListing(const std::wstring& folder, const std::vector<std::wstring>& leaveOut = {}) {
    std::vector<std::wstring> files;
    CollectFiles(folder, L"", files);
    std::sort(files.begin(), files.end());
    std::string text;
    for (const std::wstring& name : files) {
        if (std::find(leaveOut.begin(), leaveOut.end(), name) != leaveOut.end()) continue;
        text += Utf8(name) + "|" + Fingerprint(folder + L"\\" + name) + "\r\n";
    }
    return text;
}

}  // namespace kesto::listing
