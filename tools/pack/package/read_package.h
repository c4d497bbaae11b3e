#pragma once
// Reading a launcher file back as the launcher does: its layout (the marker,
// the digest record, the stub's headers), the cabinet's length and digest,
// its tables and names.
#include <cstdint>
#include <string>
#include <vector>

#include "cabinet/cabinet.h"
#include "cabinet/cabinet_reader.h"
#include "payload/package_format.h"

namespace kesto::pack {

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

}  // namespace kesto::pack
