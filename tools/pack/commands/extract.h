#pragma once
// extract: unpacking a package's files into a folder, all or nothing: into a new
// folder beside it first, then moved into place. Every step goes through
// folders held open (host.h's Folder), so nothing is written through a
// link, even one that replaces a folder while extract runs; nothing there is
// replaced; and a refusal leaves no folder that extract made.
#include <string>

#include "cabinet/cabinet_reader.h"
#include "command_line.h"

namespace kesto::pack {

// Unpacks the files of a cabinet whose tables ReadPackage has checked into
// the folder folderName (made when missing). Returns an empty string, or
// why nothing was extracted (ending in "; nothing extracted"); package names
// the package in what it says of damaged data.
std::string ExtractFiles(ByteSource& cabinet, const CabinetTable& table, const std::string& package,
                         const std::string& folderName);

// The command: the package checked (ReadPackage), then ExtractFiles.
int Extract(const ExtractOptions& options);

}  // namespace kesto::pack
