#pragma once
// Laying out a launcher file: the stub's image, the ten-byte marker, and the
// cabinet with every byte complemented, to the end of the file.
#include <string>

namespace kesto::pack {

// The marker's bytes. Kept out of any one string literal so that this tool's
// own binary does not carry them in one piece either.
std::string Marker();

// The launcher copies its payload in 4096-byte blocks read from the start of
// its file. Zero bytes between the image and the marker that make the payload
// start on a block boundary turn every write into one whole page.
constexpr size_t kPayloadAlignment = 4096;

// How many zero bytes go between an image of imageSize bytes and the marker:
// enough to start the payload on a block boundary when align is set, and at
// least one when the image ends in a beginning of the marker, so that the
// launcher's scan (which never falls back after a broken partial match)
// still finds the marker.
size_t PaddingBeforeMarker(size_t imageSize, bool endsInPartialMatch, bool align);

// Writes output from the stub, the padding, the marker and the cabinet, into a
// temporary file beside output that is renamed into place at the end. Fails
// when the stub itself holds the marker, since the scan would take that
// occurrence. Returns an empty string on success, otherwise what went wrong.
std::string WriteLauncherFile(const std::string& stubPath, const std::string& cabinetPath,
                              const std::string& outputPath, bool align = true);

// Why stub bytes cannot serve as a stub (not a PE image, or the marker in
// them), or an empty string.
std::string CheckStubImage(const std::string& stub);

// Whether a stub's headers name a certificate table: a stub signed before
// packing, whose signature does not cover the package.
bool StubIsSigned(const std::string& stub);

// How many of the marker's first bytes the tail of data ends with, counting
// the way the launcher's scan does: 0 means the marker can follow directly.
size_t PartialMatchAtEnd(const std::string& data);

}  // namespace kesto::pack
