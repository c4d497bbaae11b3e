#pragma once
// What goes into a package and what a package holds: collecting the sources,
// the cabinet's limits, and reading a launcher file back.
#include <cstdint>
#include <string>
#include <vector>

#include "cabinet.h"
#include "cabinet_reader.h"
#include "payload/package_format.h"

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

// The limits of one cabinet, as the format, libgcab and cabinet.dll hold them.
struct CabinetLimits {
    static constexpr uint64_t kFiles = 65535;                // CFHEADER.cFiles is 16 bits
    static constexpr size_t kNameBytes = 255;                // CB_MAX_FILENAME (256) with its terminating zero
    static constexpr uint64_t kBlock = 32768;                // uncompressed bytes in one data block
    static constexpr uint64_t kFolderBytes = 65535 * kBlock; // CFFOLDER.cCFData is 16 bits: 0x7FFF8000
    static constexpr uint64_t kCabinetBytes = 0x7FFFFFFF;    // cabinet.dll seeks with signed 32-bit offsets
};
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

// A launcher file read back: where its parts lie.
struct PackageLayout {
    uint64_t fileSize = 0;
    uint64_t markerOffset = 0;       // where the marker starts: the stub, its padding and the record lie before it
    uint64_t stubImageSize = 0;      // the stub's image by its PE headers (0 when unreadable)
    uint64_t payloadOffset = 0;      // behind the marker
    bool hasDigest = false;          // a digest record stands before the marker
    PayloadDigest digest;
    uint64_t signatureOffset = 0;    // the certificate table, when the image's headers name one
    uint64_t signatureSize = 0;
};
// Finds the marker the way the launcher's scan does, and reads the digest
// record before it and the stub's headers.
std::string ReadLayout(ByteSource& file, PackageLayout& layout);

// Reads a package the way the launcher does and checks all that can be
// checked without unpacking: the layout; the cabinet's length by its header,
// by the record and by the bytes that follow the marker; the digest; the
// cabinet's tables (ReadCabinetTable); and its names (CheckPackageNames).
// Problems come without the package's name, for the caller to put first.
std::string ReadPackage(ByteSource& file, PackageLayout& layout, CabinetTable& table);

// Why a cabinet's names cannot be unpacked on Windows as they stand
// (CheckPackageNames), naming the entry, or an empty string.
std::string CheckEntryNames(const CabinetTable& table);

// The digest of a cabinet's first cabinetBytes bytes.
uint64_t DigestOf(ByteSource& cabinet, uint64_t cabinetBytes, bool& readable);

// Hashes the bytes read through it as long as the reads run on from the
// start without a gap (re-reads are fine), so that checking a cabinet's data
// blocks gives its digest in the same pass; Digest reads whatever that did
// not cover.
class HashingSource : public ByteSource {
public:
    explicit HashingSource(ByteSource& inner) : inner_(inner) {}
    uint64_t Size() const override { return inner_.Size(); }
    bool Read(uint64_t offset, unsigned char* bytes, size_t size) override;
    uint64_t Digest(uint64_t cabinetBytes, bool& readable);

private:
    ByteSource& inner_;
    PayloadHash hash_;
    uint64_t hashed_ = 0;
    bool inSequence_ = true;
};

// A digest as xxhsum prints it: 16 hexadecimal digits.
std::string DigestText(uint64_t digest);

// "12.3 MiB" style sizes for people.
std::string HumanSize(uint64_t bytes);

}  // namespace kesto::pack
