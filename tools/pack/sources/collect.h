#pragma once
// What goes into a package: the files of the sources, in the order and with
// the names and times the cabinet gets, checked against the cabinet's limits.
#include <cstdint>
#include <string>
#include <vector>

#include "cabinet/cabinet.h"

namespace kesto::pack {

// The files of the sources, each named in the cabinet by its path below the
// top of the package: a folder contributes its contents, a file itself. They
// come sorted the way NTFS orders names, so the cabinet does not depend on
// the order in which the file system lists a folder. With fixedTime (seconds
// since 1970) every file gets that time, else its own modification time.
// Refused: links and other special files, names Windows cannot hold, two
// files whose names are the same to Windows. Empty folders cannot be held by
// a cabinet; they are named in notes.
struct Collected {
    std::vector<CabinetInput> files;
    std::vector<std::string> notes;
    std::string problem;
};
Collected CollectSources(const std::vector<std::string>& sources, const int64_t* fixedTime);

// The largest cabinet these files can make: exact when stored, with MSZIP's
// worst case (incompressible blocks) when compressed.
uint64_t LargestCabinetSize(const std::vector<CabinetInput>& files, bool compress);
// The most bytes these files can hold together in one cabinet: their data
// blocks within one folder (kFolderBytes), and the cabinet, with its headers,
// its names and a header for each block (LargestCabinetSize), within
// kCabinetBytes. About 0.5 MB below kFolderBytes when stored: 65,535 block
// headers of 8 bytes.
uint64_t LargestFileBytes(const std::vector<CabinetInput>& files, bool compress);
// Why these files do not fit into one cabinet, or an empty string.
std::string CheckLimits(const std::vector<CabinetInput>& files, bool compress);

}  // namespace kesto::pack
