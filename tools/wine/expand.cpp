// A small cabinet expander for Wine prefixes, standing in for the system's
// expand.exe:
//
//   expand.exe SOURCE -f:* DEST
//
// unpacks every file of the cabinet SOURCE into the folder DEST ("." is the
// current directory), making sub-folders for names with backslashes. The -f:*
// switch (also -F:* or /f:*) may stand anywhere. Bytes behind the cabinet's
// own end are ignored. A name that would land outside DEST is refused.
//
// Exit codes: 0 all files written; 1 bad arguments; 2 the cabinet cannot be
// read or is not a valid cabinet; 3 a name would leave DEST; 4 a file cannot
// be written. Every failure prints one line to stderr.
#include <windows.h>

#include <fdi.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace {

enum ExitCode { kOk = 0, kBadArguments = 1, kBadCabinet = 2, kUnsafeName = 3, kWriteFailed = 4 };

std::wstring Decode(const char* text, UINT codePage) {
    int length = ::MultiByteToWideChar(codePage, 0, text, -1, nullptr, 0);
    if (length <= 0) return std::wstring();
    std::wstring wide(size_t(length), L'\0');
    ::MultiByteToWideChar(codePage, 0, text, -1, &wide[0], length);
    wide.resize(size_t(length - 1));
    return wide;
}

std::string EncodeUtf8(const std::wstring& text) {
    int length = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (length <= 0) return std::string();
    std::string narrow(size_t(length), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &narrow[0], length, nullptr, nullptr);
    narrow.resize(size_t(length - 1));
    return narrow;
}

std::wstring FullPath(const std::wstring& path) {
    DWORD size = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0) return std::wstring();
    std::wstring full(size, L'\0');
    size = ::GetFullPathNameW(path.c_str(), size, &full[0], nullptr);
    full.resize(size);
    return full;
}

// Every part of a cabinet name must be an ordinary name: no empty part (a
// leading backslash, a UNC name), no part made of dots and blanks only (".."),
// no colon (a drive or a stream).
bool IsPlainRelativeName(const std::wstring& name) {
    size_t start = 0;
    for (;;) {
        size_t end = name.find(L'\\', start);
        std::wstring part = name.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
        if (part.find_first_not_of(L". ") == std::wstring::npos) return false;
        if (part.find(L':') != std::wstring::npos) return false;
        if (end == std::wstring::npos) return true;
        start = end + 1;
    }
}

// The state of one expansion; FDI hands it to the notification callback.
struct Expansion {
    std::wstring destination;  // full path, no trailing backslash unless a root
    ExitCode failure = kOk;
    std::wstring failedName;

    void Fail(ExitCode code, const std::wstring& name) {
        failure = code;
        failedName = name;
    }
    std::wstring Under(const std::wstring& name) const {
        return destination.back() == L'\\' ? destination + name : destination + L"\\" + name;
    }
};

HANDLE AsHandle(INT_PTR file) { return reinterpret_cast<HANDLE>(file); }

FNALLOC(Allocate) { return std::malloc(cb); }
FNFREE(Free) { std::free(pv); }

// FDI opens only the cabinet through this; its name arrives as UTF-8 because
// that is how main hands it over.
FNOPEN(OpenCabinet) {
    (void)oflag;
    (void)pmode;
    HANDLE file = ::CreateFileW(Decode(pszFile, CP_UTF8).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return reinterpret_cast<INT_PTR>(file);
}

FNREAD(Read) {
    DWORD done = 0;
    if (!::ReadFile(AsHandle(hf), pv, cb, &done, nullptr)) return UINT(-1);
    return done;
}

// Set by a write that failed or fell short (a full disk). The cabinet
// library does not stop on a failed write everywhere (Wine's goes on and
// reports success), so the expansion looks at this itself.
bool g_writeFailed = false;

FNWRITE(Write) {
    DWORD done = 0;
    if (!::WriteFile(AsHandle(hf), pv, cb, &done, nullptr) || done != cb) {
        g_writeFailed = true;
        return UINT(-1);
    }
    return done;
}

FNCLOSE(Close) { return ::CloseHandle(AsHandle(hf)) ? 0 : -1; }

FNSEEK(Seek) {
    DWORD method = seektype == SEEK_CUR ? FILE_CURRENT : seektype == SEEK_END ? FILE_END : FILE_BEGIN;
    LARGE_INTEGER distance;
    distance.QuadPart = dist;
    LARGE_INTEGER position;
    if (!::SetFilePointerEx(AsHandle(hf), distance, &position, method)) return -1;
    return __LONG32(position.QuadPart);
}

// Makes the folders on the way to a file below the destination.
bool MakeParentFolders(const Expansion& expansion, const std::wstring& name) {
    for (size_t slash = name.find(L'\\'); slash != std::wstring::npos; slash = name.find(L'\\', slash + 1)) {
        std::wstring folder = expansion.Under(name.substr(0, slash));
        if (!::CreateDirectoryW(folder.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) return false;
    }
    return true;
}

// A file's name in the cabinet: UTF-8 when its flag says so, else the ANSI
// code page; forward slashes count as backslashes.
std::wstring CabinetName(const FDINOTIFICATION& file) {
    std::wstring name = Decode(file.psz1, (file.attribs & _A_NAME_IS_UTF) != 0 ? CP_UTF8 : CP_ACP);
    for (wchar_t& c : name)
        if (c == L'/') c = L'\\';
    return name;
}

INT_PTR StartFile(Expansion& expansion, const FDINOTIFICATION& file) {
    std::wstring name = CabinetName(file);
    std::wstring target = expansion.Under(name);
    // The full path catches what the name check cannot, such as device names.
    std::wstring full = FullPath(target);
    std::wstring inside = expansion.Under(L"");
    if (!IsPlainRelativeName(name) || full.size() <= inside.size() ||
        _wcsnicmp(full.c_str(), inside.c_str(), inside.size()) != 0) {
        expansion.Fail(kUnsafeName, name);
        return -1;
    }
    if (!MakeParentFolders(expansion, name)) {
        expansion.Fail(kWriteFailed, name);
        return -1;
    }
    HANDLE out = ::CreateFileW(full.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) {
        expansion.Fail(kWriteFailed, name);
        return -1;
    }
    return reinterpret_cast<INT_PTR>(out);
}

// The file is complete: give it the cabinet's time stamp and attributes.
INT_PTR FinishFile(Expansion& expansion, const FDINOTIFICATION& file) {
    HANDLE out = AsHandle(file.hf);
    FILETIME local, utc;
    if (::DosDateTimeToFileTime(file.date, file.time, &local) && ::LocalFileTimeToFileTime(&local, &utc))
        ::SetFileTime(out, nullptr, nullptr, &utc);
    bool closed = ::CloseHandle(out) != FALSE;
    std::wstring name = CabinetName(file);
    if (g_writeFailed || !closed) {
        expansion.Fail(kWriteFailed, name);
        return FALSE;  // stops the expansion
    }
    DWORD kept = file.attribs & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                 FILE_ATTRIBUTE_ARCHIVE);
    if (kept != 0) ::SetFileAttributesW(expansion.Under(name).c_str(), kept);
    return TRUE;
}

FNFDINOTIFY(Notify) {
    Expansion& expansion = *static_cast<Expansion*>(pfdin->pv);
    switch (fdint) {
        case fdintCOPY_FILE:
            return StartFile(expansion, *pfdin);
        case fdintCLOSE_FILE_INFO:
            return FinishFile(expansion, *pfdin);
        case fdintPARTIAL_FILE:
        case fdintNEXT_CABINET:
            // A file that continues in another cabinet: a payload is one cabinet.
            return -1;
        default:
            return 0;
    }
}

const wchar_t* Describe(const ERF& error) {
    switch (error.erfOper) {
        case FDIERROR_CABINET_NOT_FOUND:
            return L"cannot open the cabinet";
        case FDIERROR_NOT_A_CABINET:
            return L"not a cabinet";
        case FDIERROR_UNKNOWN_CABINET_VERSION:
            return L"unknown cabinet version";
        case FDIERROR_CORRUPT_CABINET:
            return L"corrupt or truncated cabinet";
        case FDIERROR_BAD_COMPR_TYPE:
            return L"unknown compression";
        case FDIERROR_MDI_FAIL:
            return L"bad compressed data";
        case FDIERROR_TARGET_FILE:
            return L"cannot write a file";
        default:
            return L"the cabinet cannot be expanded";
    }
}

class CabinetDecoder {
public:
    CabinetDecoder()
        : context_(::FDICreate(Allocate, Free, OpenCabinet, Read, Write, Close, Seek, cpuUNKNOWN, &error_)) {}
    ~CabinetDecoder() {
        if (context_ != nullptr) ::FDIDestroy(context_);
    }
    CabinetDecoder(const CabinetDecoder&) = delete;
    CabinetDecoder& operator=(const CabinetDecoder&) = delete;

    bool Expand(const std::wstring& cabinet, Expansion& expansion) {
        if (context_ == nullptr) return false;
        std::string name = EncodeUtf8(cabinet);
        char noPath[] = "";
        return ::FDICopy(context_, &name[0], noPath, 0, Notify, nullptr, &expansion) != FALSE;
    }
    const ERF& error() const { return error_; }

private:
    ERF error_ = {};
    HFDI context_;
};

int Usage(const wchar_t* problem) {
    std::fwprintf(stderr, L"expand: %ls\nusage: expand SOURCE -f:* DEST\n", problem);
    return kBadArguments;
}

bool IsAllFilesSwitch(const std::wstring& argument) {
    return argument.size() >= 3 && (argument[0] == L'-' || argument[0] == L'/') &&
           (argument[1] == L'f' || argument[1] == L'F') && argument[2] == L':';
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::wstring> paths;
    bool allFiles = false;
    for (int i = 1; i < argc; ++i) {
        std::wstring argument = argv[i];
        if (IsAllFilesSwitch(argument)) {
            if (argument.substr(3) != L"*") return Usage(L"only -f:* is supported");
            allFiles = true;
        } else {
            paths.push_back(argument);
        }
    }
    if (!allFiles || paths.size() != 2) return Usage(L"expected a source, -f:* and a destination");

    std::wstring source = FullPath(paths[0]);
    DWORD sourceAttributes = ::GetFileAttributesW(source.c_str());
    if (source.empty() || sourceAttributes == INVALID_FILE_ATTRIBUTES ||
        (sourceAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        std::fwprintf(stderr, L"expand: %ls: no such file\n", paths[0].c_str());
        return kBadCabinet;
    }
    Expansion expansion;
    expansion.destination = FullPath(paths[1]);
    DWORD destinationAttributes = ::GetFileAttributesW(expansion.destination.c_str());
    if (expansion.destination.empty() || destinationAttributes == INVALID_FILE_ATTRIBUTES ||
        (destinationAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        std::fwprintf(stderr, L"expand: %ls: no such folder\n", paths[1].c_str());
        return kWriteFailed;
    }
    if (expansion.destination.size() > 3 && expansion.destination.back() == L'\\')
        expansion.destination.pop_back();

    CabinetDecoder decoder;
    if (decoder.Expand(source, expansion) && !g_writeFailed) return kOk;
    if (g_writeFailed && expansion.failure == kOk) expansion.Fail(kWriteFailed, L"a file");
    if (expansion.failure == kUnsafeName) {
        std::fwprintf(stderr, L"expand: %ls: refused, the name leaves the destination\n",
                      expansion.failedName.c_str());
        return kUnsafeName;
    }
    if (expansion.failure == kWriteFailed) {
        std::fwprintf(stderr, L"expand: %ls: cannot write\n", expansion.failedName.c_str());
        return kWriteFailed;
    }
    std::fwprintf(stderr, L"expand: %ls: %ls\n", paths[0].c_str(), Describe(decoder.error()));
    return decoder.error().erfOper == FDIERROR_TARGET_FILE ? kWriteFailed : kBadCabinet;
}
