#pragma once
// Laying out a launcher file: the stub's image, the ten-byte marker, and the
// cabinet with every byte complemented, to the end of the file.
#include <string>

namespace kesto::pack {

// The marker's bytes. Kept out of any one string literal so that this tool's
// own binary does not carry them in one piece either.
std::string Marker();

// Writes output from the stub and the cabinet. When the stub's last bytes
// begin the marker, a zero byte goes in front of the marker so that the
// launcher's scan (which never falls back after a broken partial match)
// still finds it. Fails when the stub itself holds the marker, since the scan
// would take that occurrence. Returns an empty string on success, otherwise
// what went wrong.
std::string WriteLauncherFile(const std::string& stubPath, const std::string& cabinetPath,
                              const std::string& outputPath);

// How many of the marker's first bytes the tail of data ends with, counting
// the way the launcher's scan does: 0 means the marker can follow directly.
size_t PartialMatchAtEnd(const std::string& data);

}  // namespace kesto::pack
