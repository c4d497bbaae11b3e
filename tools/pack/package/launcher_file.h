#pragma once
// Writing a launcher file: the stub's image, zero padding, the digest record,
// the marker, and the cabinet with every byte complemented, to the end of the
// file (the layout itself is src/payload/package_format.h's).
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cabinet/cabinet.h"
#include "cabinet/cabinet_reader.h"

namespace kesto::pack {

// A stub's image, read and scanned for the marker once per build and
// handed on from there: the stub as read, or as given an identity.
struct StubImage {
    std::string path;          // the stub's file, for messages
    std::string bytes;
    bool holdsMarker = false;
    size_t partialMatch = 0;   // how much of the marker its last bytes begin
};
// Scans bytes, the image of the stub at path, for the marker.
StubImage ScanStub(const std::string& path, std::string bytes);
// Reads the stub at path whole and scans it; false, with the system's
// reason, when it cannot be read.
bool ReadStub(const std::string& path, StubImage& stub, std::string& reason);

// Why a stub cannot serve as one (not a PE image, or the marker in it), or
// an empty string.
std::string CheckStubImage(const StubImage& stub);

// Whether a stub's headers name a certificate table: a stub signed before
// packing, whose signature does not cover the package.
bool StubIsSigned(const std::string& stub);

// Puts the cabinet into the payload of the launcher file being written.
using CabinetWriter = std::function<std::string(const Payload& payload)>;

// What a launcher file written holds.
struct WrittenPackage {
    uint64_t fileBytes = 0;
    uint64_t cabinetBytes = 0;
    uint64_t digest = 0;
    size_t files = 0;            // as read back
    uint64_t unpackedBytes = 0;
    std::string compression;     // "MSZIP", "stored"
};

// Writes outputPath: the stub, the padding, the digest record, the marker, and
// the cabinet that writeCabinet puts into the payload, all into a temporary
// file beside outputPath. That file is read back (every data block, which
// also gives the digest for the record, then CheckWrittenPackage) and
// renamed into place only when it reads back whole; otherwise it is removed.
// expected: the files the cabinet must hold, by name and size, in its order
// (null for a ready cabinet). branded: the stub was given an identity; the
// PE checksum is then set over the whole file once its record is in.
// Returns an empty string or what went wrong.
std::string WriteLauncherFile(const StubImage& stub, const std::string& outputPath, bool align,
                              const CabinetWriter& writeCabinet, const std::vector<CabinetMember>* expected,
                              WrittenPackage& written, bool branded = false);

// A ready cabinet file as the payload: copied in, every byte complemented.
std::string CopyCabinetIn(const std::string& cabinetPath, const Payload& payload);

// Reads a package just written the way the launcher will and checks it
// whole, given its cabinet's tables and digest as the first pass over its
// data blocks found them (every block's checksum and MSZIP checked): the
// marker where the payload was written; the digest record; the cabinet's
// length by its header, by the record and by the bytes that follow the
// marker, all equal; the digest; the names; and the listing of the
// platform's cabinet library, the same names and sizes as the reader's and
// as expected.
std::string CheckWrittenPackage(const std::string& path, uint64_t payloadOffset, const CabinetTable& table,
                                uint64_t digest, const std::vector<CabinetMember>* expected);

}  // namespace kesto::pack
