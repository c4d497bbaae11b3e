#pragma once
// Writing and listing cabinets through the platform's cabinet library:
// libgcab on Linux (cabinet_gcab.cpp), the system's FCI and FDI from
// cabinet.dll on Windows (cabinet_fdi.cpp). Everything else in the packer is
// the same on both, the packer's own cabinet reader (cabinet_reader.h)
// included. Paths and names are UTF-8; names in a cabinet use backslashes.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kesto::pack {

// The cabinet format's fixed sizes (without reserved bytes) and the span of
// its DOS times, for every writer and reader here.
struct CabinetFormat {
    static constexpr size_t kHeader = 36;
    static constexpr size_t kFolder = 8;
    static constexpr size_t kFileEntry = 16;  // and the name with its terminating zero
    static constexpr size_t kBlockHeader = 8;
    static constexpr int64_t kFirstTime = 315532800;   // in seconds since 1970
    static constexpr int64_t kLastTime = 4354819198;
    static constexpr const char* kFirstTimeText = "1980-01-01 00:00:00 UTC";
    static constexpr const char* kLastTimeText = "2107-12-31 23:59:58 UTC";
};

// The limits of one cabinet, as the format, libgcab and cabinet.dll hold them.
struct CabinetLimits {
    static constexpr uint64_t kFiles = 65535;                // CFHEADER.cFiles is 16 bits
    static constexpr size_t kNameBytes = 255;                // CB_MAX_FILENAME (256) with its terminating zero
    static constexpr uint64_t kBlock = 32768;                // uncompressed bytes in one data block
    static constexpr uint64_t kFolderBytes = 65535 * kBlock; // CFFOLDER.cCFData is 16 bits: 0x7FFF8000
    static constexpr uint64_t kCabinetBytes = 0x7FFFFFFF;    // cabinet.dll seeks with signed 32-bit offsets
};

// One file to put into a cabinet.
struct CabinetInput {
    std::string name;    // its name in the cabinet ("data\\settings.ini")
    std::string source;  // the file on disk
    uint64_t size = 0;
    int64_t mtime = 0;   // seconds since 1970 (UTC), stored as a DOS date and time
};

// Where the data blocks of a one-folder cabinet of these files start: behind
// the header, the folder and the file table.
inline uint64_t FirstDataBlock(const std::vector<CabinetInput>& files) {
    uint64_t offset = CabinetFormat::kHeader + CabinetFormat::kFolder;
    for (const CabinetInput& file : files) offset += CabinetFormat::kFileEntry + file.name.size() + 1;
    return offset;
}

// One file found in a cabinet.
struct CabinetMember {
    std::string name;
    uint32_t size = 0;
};

// Where a cabinet goes or is read from: inside a launcher file, from offset
// on, every byte complemented. The file exists; the cabinet's bytes are
// written there directly, so the cabinet never stands anywhere as a file.
struct Payload {
    std::string file;
    uint64_t offset = 0;
};

// Writes a one-folder cabinet of files, in the order given, MSZIP-compressed
// or stored, into payload. Every file gets the attribute "archive" only (plus
// the flag for UTF-8 names where needed), so the result depends on nothing
// but the names, contents and times given. packed, when given, is told the
// files' bytes of each data block as it is written. Returns an empty string
// or what went wrong.
using PackedBytes = std::function<void(uint64_t bytes)>;
std::string WriteCabinet(const Payload& payload, const std::vector<CabinetInput>& files, bool compress,
                         const PackedBytes& packed = nullptr);

// Lists a cabinet's files in the cabinet's order, through the platform's
// cabinet library: a reading independent of the packer's own reader.
std::string ListCabinet(const Payload& payload, std::vector<CabinetMember>& members);

}  // namespace kesto::pack
