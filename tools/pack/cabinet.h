#pragma once
// Writing and reading cabinet files through the platform's cabinet library:
// libgcab on Linux (cabinet_gcab.cpp), the system's FCI and FDI from
// cabinet.dll on Windows (cabinet_fdi.cpp). Everything else in the packer is
// the same on both. Paths and names are UTF-8; names in a cabinet use
// backslashes.
#include <cstdint>
#include <string>
#include <vector>

namespace kesto::pack {

// One file to put into a cabinet.
struct CabinetInput {
    std::string name;    // its name in the cabinet ("data\\settings.ini")
    std::string source;  // the file on disk
    uint64_t size = 0;
    int64_t mtime = 0;   // seconds since 1970 (UTC), stored as a DOS date and time
};

// One file found in a cabinet.
struct CabinetMember {
    std::string name;
    uint32_t size = 0;
};

// Writes a one-folder cabinet of files, in the order given, MSZIP-compressed
// or stored. Every file gets the attribute "archive" only (plus the flag for
// UTF-8 names where needed), so the result depends on nothing but the names,
// contents and times given. Returns an empty string or what went wrong.
std::string WriteCabinet(const std::string& path, const std::vector<CabinetInput>& files, bool compress);

// Lists a cabinet's files in the cabinet's order.
std::string ListCabinet(const std::string& path, std::vector<CabinetMember>& members);

// Decompresses every file of a cabinet into destination (an existing folder),
// making sub-folders for names with backslashes; this also checks every data
// block. The caller has checked that no name leaves destination.
std::string ExpandCabinet(const std::string& path, const std::string& destination);

}  // namespace kesto::pack
