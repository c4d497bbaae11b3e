// The cabinet interface on the system's cabinet.dll: FCI writes cabinets, FDI
// lists them. Both call back for every file operation; those callbacks get
// UTF-8 names from here and open the files with the wide calls. The
// cabinet's own name is mapped to the payload of the launcher file: its
// positions count from the payload's start and its bytes are complemented
// on the way, so the cabinet goes straight into the launcher file.
#include <windows.h>

#include <fci.h>
#include <fcntl.h>
#include <fdi.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>

#include "cabinet/cabinet.h"
#include "host.h"
#include "payload/package_format.h"
#include "platform/handles.h"

namespace kesto::pack {

namespace {

namespace fs = std::filesystem;

std::wstring Wide(const char* utf8) { return fs::u8path(utf8).wstring(); }

std::string Utf8FromCodePage(const char* text, UINT codePage) {
    int length = ::MultiByteToWideChar(codePage, 0, text, -1, nullptr, 0);
    if (length <= 0) return std::string();
    std::wstring wide(size_t(length), L'\0');
    ::MultiByteToWideChar(codePage, 0, text, -1, &wide[0], length);
    wide.resize(size_t(length - 1));
    return fs::path(wide).u8string();
}

// The name under which FCI and FDI are given the cabinet.
const char kPayloadName[] = "kesto-payload.cab";

// A file the callbacks work on; for the payload, where it starts. FCI and
// FDI hold it as their INT_PTR between OpenFile and CloseFile.
struct OpenedFile {
    UniqueFile handle;
    bool payload;
    uint64_t base;
};
OpenedFile& Opened(INT_PTR file) { return *reinterpret_cast<OpenedFile*>(file); }

// File operations shared by FCI and FDI, on UTF-8 names; kPayloadName opens
// payload's file, which exists.
INT_PTR OpenFile(const char* name, int flags, const Payload* payload) {
    DWORD access = (flags & _O_RDWR) != 0 ? GENERIC_READ | GENERIC_WRITE
                   : (flags & _O_WRONLY) != 0 ? GENERIC_WRITE
                                               : GENERIC_READ;
    DWORD creation = (flags & _O_CREAT) != 0 ? ((flags & _O_EXCL) != 0   ? CREATE_NEW
                                                : (flags & _O_TRUNC) != 0 ? CREATE_ALWAYS
                                                                          : OPEN_ALWAYS)
                                             : (flags & _O_TRUNC) != 0 ? TRUNCATE_EXISTING
                                                                       : OPEN_EXISTING;
    const bool isPayload = payload != nullptr && std::strcmp(name, kPayloadName) == 0;
    HANDLE file = ::CreateFileW(Wide(isPayload ? payload->file.c_str() : name).c_str(), access, FILE_SHARE_READ, nullptr,
                                isPayload ? OPEN_EXISTING : creation,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) return -1;
    auto opened = std::make_unique<OpenedFile>(OpenedFile{UniqueFile(file), isPayload, isPayload ? payload->offset : 0});
    if (isPayload) {
        LARGE_INTEGER start;
        start.QuadPart = LONGLONG(opened->base);
        ::SetFilePointerEx(file, start, nullptr, FILE_BEGIN);
    }
    return reinterpret_cast<INT_PTR>(opened.release());
}
UINT ReadBytes(INT_PTR file, void* bytes, UINT count) {
    if (Interrupted()) return UINT(-1);
    DWORD done = 0;
    if (!::ReadFile(Opened(file).handle.get(), bytes, count, &done, nullptr)) return UINT(-1);
    if (Opened(file).payload) kesto::Complement(static_cast<unsigned char*>(bytes), done);
    return done;
}
UINT WriteBytes(INT_PTR file, const void* bytes, UINT count) {
    if (Interrupted()) return UINT(-1);
    const OpenedFile& opened = Opened(file);
    const unsigned char* from = static_cast<const unsigned char*>(bytes);
    unsigned char block[1 << 16];
    for (UINT done = 0; done < count;) {
        // The payload gets the bytes complemented, a block at a time.
        UINT piece = opened.payload ? std::min<UINT>(count - done, sizeof(block)) : count - done;
        const void* what = from + done;
        if (opened.payload) {
            std::memcpy(block, from + done, piece);
            kesto::Complement(block, piece);
            what = block;
        }
        DWORD written = 0;
        if (!::WriteFile(opened.handle.get(), what, piece, &written, nullptr) || written != piece) return UINT(-1);
        done += piece;
    }
    return count;
}
int CloseFile(INT_PTR file) {
    const std::unique_ptr<OpenedFile> opened(&Opened(file));
    return ::CloseHandle(opened->handle.release()) ? 0 : -1;  // whether it closed is FCI's to know
}
long SeekFile(INT_PTR file, long distance, int origin) {
    const OpenedFile& opened = Opened(file);
    DWORD method = origin == SEEK_CUR ? FILE_CURRENT : origin == SEEK_END ? FILE_END : FILE_BEGIN;
    LARGE_INTEGER move, position;
    move.QuadPart = distance + (method == FILE_BEGIN ? LONGLONG(opened.base) : 0);
    if (!::SetFilePointerEx(opened.handle.get(), move, &position, method)) return -1;
    return long(position.QuadPart - LONGLONG(opened.base));
}

// ---------------------------------------------------------------------------
// Writing with FCI

struct Writing {
    const Payload* payload = nullptr;
    const std::vector<CabinetInput>* files = nullptr;
    const PackedBytes* packed = nullptr;
    size_t current = 0;     // the file FCI is adding
    std::string temporaryFolder;
};

FNFCIALLOC(FciAllocate) { return std::malloc(cb); }
FNFCIFREE(FciFree) { std::free(memory); }
FNFCIOPEN(FciOpen) {
    (void)pmode;
    INT_PTR file = OpenFile(pszFile, oflag, static_cast<Writing*>(pv)->payload);
    if (file == -1) *err = int(::GetLastError());
    return file;
}
FNFCIREAD(FciRead) {
    (void)pv;
    UINT done = ReadBytes(hf, memory, cb);
    if (done == UINT(-1)) *err = int(::GetLastError());
    return done;
}
FNFCIWRITE(FciWrite) {
    (void)pv;
    UINT done = WriteBytes(hf, memory, cb);
    if (done == UINT(-1)) *err = int(::GetLastError());
    return done;
}
FNFCICLOSE(FciClose) {
    (void)pv;
    if (CloseFile(hf) == 0) return 0;
    *err = int(::GetLastError());
    return -1;
}
FNFCISEEK(FciSeek) {
    (void)pv;
    long position = SeekFile(hf, dist, seektype);
    if (position == -1) *err = int(::GetLastError());
    return position;
}
FNFCIDELETE(FciDelete) {
    (void)pv;
    if (std::strcmp(pszFile, kPayloadName) == 0) return 0;  // the launcher file is its caller's to remove
    if (::DeleteFileW(Wide(pszFile).c_str())) return 0;
    *err = int(::GetLastError());
    return -1;
}
FNFCIGETTEMPFILE(FciTemporaryFile) {
    Writing& writing = *static_cast<Writing*>(pv);
    static std::mt19937 random{std::random_device{}()};
    std::string name = writing.temporaryFolder + "kesto-fci-" + std::to_string(random()) + ".tmp";
    if (name.size() + 1 > size_t(cbTempName)) return FALSE;
    std::memcpy(pszTempName, name.c_str(), name.size() + 1);
    return TRUE;
}
FNFCIFILEPLACED(FciFilePlaced) {
    (void)pccab;
    (void)pszFile;
    (void)cbFile;
    (void)fContinuation;
    (void)pv;
    return 0;
}
FNFCIGETNEXTCABINET(FciNextCabinet) {
    (void)pccab;
    (void)cbPrevCab;
    (void)pv;
    return FALSE;  // one cabinet only: the limits were checked before
}
FNFCISTATUS(FciStatus) {
    (void)cb1;
    // statusFile: a block compressed into the folder, cb2 its unpacked bytes.
    const PackedBytes& packed = *static_cast<Writing*>(pv)->packed;
    if (typeStatus == statusFile && packed) packed(cb2);
    return 0;
}

// A UTC time as a DOS date and time (years 1980 to 2107, 2-second steps).
void DosDateTime(int64_t seconds, USHORT& date, USHORT& time) {
    seconds = std::min(std::max(seconds, CabinetFormat::kFirstTime), CabinetFormat::kLastTime);
    int64_t days = seconds / 86400, rest = seconds % 86400;
    // Civil date from days since 1970 (proleptic Gregorian calendar).
    int64_t z = days + 719468, era = z / 146097, dayOfEra = z - era * 146097;
    int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    int64_t monthIndex = (5 * dayOfYear + 2) / 153;
    int64_t day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    int64_t month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    date = USHORT(((year - 1980) << 9) | (month << 5) | day);
    time = USHORT(((rest / 3600) << 11) | ((rest / 60 % 60) << 5) | (rest % 60 / 2));
}

FNFCIGETOPENINFO(FciOpenInfo) {
    Writing& writing = *static_cast<Writing*>(pv);
    const CabinetInput& file = (*writing.files)[writing.current];
    DosDateTime(file.mtime, *pdate, *ptime);
    bool ascii = true;
    for (unsigned char c : file.name) ascii = ascii && c < 0x80;
    *pattribs = USHORT(_A_ARCH | (ascii ? 0 : _A_NAME_IS_UTF));
    INT_PTR handle = OpenFile(pszName, _O_RDONLY, nullptr);
    if (handle == -1) *err = int(::GetLastError());
    return handle;
}

std::string FciProblem(const ERF& error) {
    switch (error.erfOper) {
        case FCIERR_OPEN_SRC:
        case FCIERR_READ_SRC:
            return "cannot read a file to pack";
        case FCIERR_ALLOC_FAIL:
            return "out of memory";
        case FCIERR_TEMP_FILE:
            return "cannot write a temporary file";
        case FCIERR_CAB_FILE:
            return "cannot write the cabinet";
        case FCIERR_MCI_FAIL:
            return "compression failed";
        default:
            return "cabinet.dll failed (FCI error " + std::to_string(error.erfOper) + ")";
    }
}

// ---------------------------------------------------------------------------
// Reading with FDI

struct Reading {
    std::vector<CabinetMember>* members = nullptr;
    std::string failure;
};

// FCI's and FDI's contexts, destroyed when their owners go.
struct FciDestroyer {
    void operator()(void* context) const { ::FCIDestroy(context); }
};
struct FdiDestroyer {
    void operator()(void* context) const { ::FDIDestroy(context); }
};
using FciContext = std::unique_ptr<void, FciDestroyer>;
using FdiContext = std::unique_ptr<void, FdiDestroyer>;

// FDI's open callback has no context: the payload being listed.
const Payload* g_listed = nullptr;

FNALLOC(FdiAllocate) { return std::malloc(cb); }
FNFREE(FdiFree) { std::free(pv); }
FNOPEN(FdiOpen) {
    (void)pmode;
    return OpenFile(pszFile, oflag, g_listed);
}
FNREAD(FdiRead) { return ReadBytes(hf, pv, cb); }
FNWRITE(FdiWrite) { return WriteBytes(hf, pv, cb); }
FNCLOSE(FdiClose) { return CloseFile(hf); }
FNSEEK(FdiSeek) { return SeekFile(hf, dist, seektype); }

std::string MemberName(const FDINOTIFICATION& file) {
    return Utf8FromCodePage(file.psz1, (file.attribs & _A_NAME_IS_UTF) != 0 ? CP_UTF8 : CP_ACP);
}

FNFDINOTIFY(FdiNotify) {
    Reading& reading = *static_cast<Reading*>(pfdin->pv);
    switch (fdint) {
        case fdintCOPY_FILE:
            reading.members->push_back({MemberName(*pfdin), uint32_t(pfdin->cb)});
            return 0;  // listed, not unpacked
        case fdintPARTIAL_FILE:
        case fdintNEXT_CABINET:
            reading.failure = "a file continues in another cabinet";
            return -1;
        default:
            return 0;
    }
}

std::string FdiProblem(const ERF& error) {
    switch (error.erfOper) {
        case FDIERROR_CABINET_NOT_FOUND:
            return "cannot open the cabinet";
        case FDIERROR_NOT_A_CABINET:
            return "not a cabinet";
        case FDIERROR_UNKNOWN_CABINET_VERSION:
            return "unknown cabinet version";
        case FDIERROR_CORRUPT_CABINET:
            return "corrupt or truncated cabinet";
        case FDIERROR_BAD_COMPR_TYPE:
            return "unknown compression";
        case FDIERROR_MDI_FAIL:
            return "bad compressed data";
        default:
            return "cabinet.dll failed (FDI error " + std::to_string(error.erfOper) + ")";
    }
}

std::string ListWithFdi(const Payload& payload, Reading& reading) {
    ERF error = {};
    const FdiContext context(
        ::FDICreate(FdiAllocate, FdiFree, FdiOpen, FdiRead, FdiWrite, FdiClose, FdiSeek, cpuUNKNOWN, &error));
    if (!context) return "cabinet.dll cannot start reading";
    g_listed = &payload;
    std::string name = kPayloadName;
    char noFolder[] = "";
    BOOL done = ::FDICopy(context.get(), &name[0], noFolder, 0, FdiNotify, nullptr, &reading);
    g_listed = nullptr;
    if (done) return std::string();
    return reading.failure.empty() ? FdiProblem(error) : reading.failure;
}

}  // namespace

std::string WriteCabinet(const Payload& payload, const std::vector<CabinetInput>& files, bool compress,
                         const PackedBytes& packed) {
    std::error_code failure;
    fs::path temporary = fs::temp_directory_path(failure);
    if (failure) return "no temporary folder: " + failure.message();
    Writing writing;
    writing.payload = &payload;
    writing.files = &files;
    writing.packed = &packed;
    writing.temporaryFolder = (temporary / "").u8string();

    // FCI writes the cabinet under its folder and name, which the callbacks
    // map to the payload; its own temporary files go to the temporary folder.
    CCAB cabinet = {};
    cabinet.cb = ULONG(CabinetLimits::kCabinetBytes);
    cabinet.cbFolderThresh = ULONG(CabinetLimits::kCabinetBytes);
    std::strcpy(cabinet.szCab, kPayloadName);

    ERF error = {};
    const FciContext context(::FCICreate(&error, FciFilePlaced, FciAllocate, FciFree, FciOpen, FciRead, FciWrite, FciClose,
                                         FciSeek, FciDelete, FciTemporaryFile, &cabinet, &writing));
    if (!context) return "cabinet.dll cannot start a cabinet: " + FciProblem(error);
    const TCOMP type = compress ? TCOMP(tcompTYPE_MSZIP) : TCOMP(tcompTYPE_NONE);
    for (writing.current = 0; writing.current < files.size(); ++writing.current) {
        std::string source = files[writing.current].source;
        std::string inCabinet = files[writing.current].name;
        if (!::FCIAddFile(context.get(), &source[0], &inCabinet[0], FALSE, FciNextCabinet, FciStatus, FciOpenInfo, type))
            return files[writing.current].source + ": " + FciProblem(error);
    }
    const bool done = ::FCIFlushCabinet(context.get(), FALSE, FciNextCabinet, FciStatus) != FALSE;
    return done ? std::string() : "cannot write the cabinet: " + FciProblem(error);
}

std::string ListCabinet(const Payload& payload, std::vector<CabinetMember>& members) {
    members.clear();
    Reading reading;
    reading.members = &members;
    return ListWithFdi(payload, reading);
}

}  // namespace kesto::pack
