#include "package/read_package.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "names.h"
#include "payload/package_format.h"

namespace kesto::pack {

std::string ReadLayout(ByteSource& file, PackageLayout& layout) {
    layout = PackageLayout();
    layout.fileSize = file.Size();
    unsigned char marker[kMarkerLength + 1];
    AssembleMarker(marker);
    MarkerScan scan(marker);
    std::vector<unsigned char> block(1 << 16);
    // The stub's headers: where its image ends, and a signature's place.
    const size_t headerBytes = size_t(std::min<uint64_t>(layout.fileSize, block.size()));
    PeHeaders pe;
    if (file.Read(0, block.data(), headerBytes) && ReadPeHeaders(block.data(), headerBytes, pe)) {
        layout.stubImageSize = pe.imageEnd;
        layout.signatureOffset = pe.certificateOffset;
        layout.signatureSize = pe.certificateSize;
        scan.SetStubEnd(StubEnd(pe));
    }
    for (uint64_t offset = 0; offset < layout.fileSize && !scan.Found();) {
        size_t count = size_t(std::min<uint64_t>(block.size(), layout.fileSize - offset));
        if (!file.Read(offset, block.data(), count)) return "cannot be read";
        size_t start = scan.Feed(block.data(), count);
        if (scan.Found()) layout.payloadOffset = offset + start;
        offset += count;
    }
    if (!scan.Found()) return "no payload marker; not a launcher file";
    layout.markerOffset = layout.payloadOffset - kMarkerLength;
    const RecordRead record = ReadRecordBeforeMarker(scan, layout.digest);
    if (record == RecordRead::kDamaged)
        return "damaged: the bytes between the stub and the marker are neither zero padding nor a digest record";
    layout.hasDigest = record == RecordRead::kRecord;
    return std::string();
}

uint64_t DigestOf(ByteSource& cabinet, uint64_t cabinetBytes, bool& readable) {
    PayloadHash hash;
    std::vector<unsigned char> block(1 << 20);
    readable = true;
    for (uint64_t offset = 0; offset < cabinetBytes;) {
        size_t count = size_t(std::min<uint64_t>(block.size(), cabinetBytes - offset));
        if (!cabinet.Read(offset, block.data(), count)) {
            readable = false;
            return 0;
        }
        hash.Update(block.data(), count);
        offset += count;
    }
    return hash.Value();
}

bool HashingSource::Read(uint64_t offset, unsigned char* bytes, size_t size) {
    if (!inner_.Read(offset, bytes, size)) return false;
    if (offset > hashed_) inSequence_ = false;
    if (inSequence_ && offset + size > hashed_) {
        hash_.Update(bytes + (hashed_ - offset), size_t(offset + size - hashed_));
        hashed_ = offset + size;
    }
    return true;
}

uint64_t HashingSource::Digest(uint64_t cabinetBytes, bool& readable) {
    readable = true;
    if (!inSequence_ || hashed_ > cabinetBytes) return DigestOf(inner_, cabinetBytes, readable);
    std::vector<unsigned char> block(1 << 20);
    while (hashed_ < cabinetBytes) {
        const size_t count = size_t(std::min<uint64_t>(block.size(), cabinetBytes - hashed_));
        if (!Read(hashed_, block.data(), count)) {
            readable = false;
            return 0;
        }
    }
    return hash_.Value();
}

std::string DigestText(uint64_t digest) {
    char text[17];
    std::snprintf(text, sizeof(text), "%016llx", static_cast<unsigned long long>(digest));
    return text;
}

std::string ReadPackage(ByteSource& file, PackageLayout& layout, CabinetTable& table) {
    std::string problem = ReadLayout(file, layout);
    if (!problem.empty()) return problem;
    PayloadSource cabinet(file, layout.payloadOffset);
    const uint64_t available = cabinet.Size();
    unsigned char header[kCabinetLengthEnd];
    if (!cabinet.Read(0, header, sizeof(header)))
        return "truncated: " + std::to_string(available) + " bytes follow the marker, too few for a cabinet";
    if (!std::equal(header, header + 4, "MSCF")) return "the payload is not a cabinet";
    const uint64_t cabinetBytes = CabinetLengthInHeader(header);
    if (cabinetBytes > available)
        return "truncated: the cabinet's header says " + std::to_string(cabinetBytes) + " bytes, " +
               std::to_string(available) + " follow the marker";
    if (layout.hasDigest) {
        const PayloadDigest& digest = layout.digest;
        if (digest.cabinetBytes > available)
            return "truncated: the digest record says " + std::to_string(digest.cabinetBytes) + " bytes of cabinet, " +
                   std::to_string(available) + " follow the marker";
        if (digest.cabinetBytes != cabinetBytes)
            return "damaged cabinet: its header says " + std::to_string(cabinetBytes) + " bytes, the digest record " +
                   std::to_string(digest.cabinetBytes);
        bool readable = false;
        const uint64_t actual = DigestOf(cabinet, cabinetBytes, readable);
        if (!readable) return "cannot be read";
        if (actual != digest.value)
            return "damaged cabinet: its bytes do not match the digest record (XXH64 " + DigestText(actual) +
                   ", recorded " + DigestText(digest.value) + ")";
    }
    const CabinetProblem tables = ReadCabinetTable(cabinet, table);
    if (tables) return (tables.kind == CabinetProblem::kTruncated ? "" : "damaged cabinet: ") + tables.message;

    return CheckEntryNames(table);
}

std::string CheckEntryNames(const CabinetTable& table) {
    std::vector<std::string> names;
    for (const CabinetEntry& entry : table.entries) names.push_back(entry.name);
    NameCheck check = CheckPackageNames(names);
    if (check.fault == NameCheck::kNone) return std::string();
    if (check.fault == NameCheck::kLeavesFolder) return check.Describe(names);
    return "the name " + names[check.index] + ": " + check.Describe(names);
}

}  // namespace kesto::pack
