#include "payload/package_format.h"

#include <cstring>

#include "payload/little_endian.h"

#define XXH_INLINE_ALL
#define XXH_NO_XXH3  // only XXH64 is used: keeps the launcher small
#include <xxhash.h>

namespace kesto {

namespace {

constexpr unsigned char kDigestMagic[8] = {'X', 'X', 'H', '6', '4', 'S', 'U', 'M'};

void ComplementWord(unsigned char* at) {
    uintptr_t word;
    std::memcpy(&word, at, sizeof(word));
    word = ~word;
    std::memcpy(at, &word, sizeof(word));
}

}  // namespace

void AssembleMarker(unsigned char (&marker)[kMarkerLength + 1]) {
    // "Kest", "oBin", "ay" as little-endian values. Stored through a volatile
    // pointer so that the compiler cannot fold the three into one constant.
    const uint32_t first = 0x7473654Bu;
    const uint32_t second = 0x6E69426Fu;
    const uint16_t third = 0x7961u;
    volatile unsigned char* out = marker;
    for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(first >> (8 * i));
    for (int i = 0; i < 4; ++i) out[4 + i] = static_cast<unsigned char>(second >> (8 * i));
    for (int i = 0; i < 2; ++i) out[8 + i] = static_cast<unsigned char>(third >> (8 * i));
    out[kMarkerLength] = 0;
}

void Complement(unsigned char* bytes, size_t size) {
    // The copy runs this over every payload byte: four machine words a turn,
    // then the bytes that are left over.
    constexpr size_t kWord = sizeof(uintptr_t);
    size_t i = 0;
    for (; i + 4 * kWord <= size; i += 4 * kWord) {
        ComplementWord(bytes + i);
        ComplementWord(bytes + i + kWord);
        ComplementWord(bytes + i + 2 * kWord);
        ComplementWord(bytes + i + 3 * kWord);
    }
    for (; i < size; ++i) bytes[i] = static_cast<unsigned char>(~bytes[i]);
}

void WriteDigestRecord(const PayloadDigest& digest, unsigned char (&record)[kDigestRecordSize]) {
    std::memset(record, 0, sizeof(record));
    std::memcpy(record, kDigestMagic, sizeof(kDigestMagic));
    WriteLe(record + 8, digest.cabinetBytes, 8);
    WriteLe(record + 16, digest.value, 8);
}

bool ReadDigestRecord(const unsigned char* record, PayloadDigest& digest) {
    if (std::memcmp(record, kDigestMagic, sizeof(kDigestMagic)) != 0 || ReadLe(record + 24, 8) != 0) return false;
    digest.cabinetBytes = ReadLe(record + 8, 8);
    digest.value = ReadLe(record + 16, 8);
    return true;
}

uint64_t CabinetLengthInHeader(const unsigned char* header) {
    if (std::memcmp(header, "MSCF", 4) != 0) return 0;
    return ReadLe(header + 8, 4);
}

bool ReadCabinetFiles(const unsigned char* header, CabinetFiles& files) {
    if (std::memcmp(header, "MSCF", 4) != 0) return false;
    files.offset = uint32_t(ReadLe(header + 16, 4));
    files.count = uint32_t(ReadLe(header + 28, 2));
    return true;
}

long CabinetEntryNameLength(const unsigned char* entry, size_t size) {
    if (size <= kCabinetEntryFixed) return -1;
    const size_t limit = size < kCabinetEntryLargest ? size : kCabinetEntryLargest;
    const void* end = std::memchr(entry + kCabinetEntryFixed, 0, limit - kCabinetEntryFixed);
    return end == nullptr ? -1 : long(static_cast<const unsigned char*>(end) - entry - kCabinetEntryFixed);
}

PayloadHash::PayloadHash() {
    static_assert(sizeof(state_) >= sizeof(XXH64_state_t), "PayloadHash holds an XXH64 state");
    XXH64_reset(reinterpret_cast<XXH64_state_t*>(state_), 0);
}

// Not inlined into the copy loop: XXH64 on a 32-bit target is large code.
__attribute__((noinline)) void PayloadHash::Update(const unsigned char* bytes, size_t size) {
    XXH64_update(reinterpret_cast<XXH64_state_t*>(state_), bytes, size);
}

__attribute__((noinline)) uint64_t PayloadHash::Value() const {
    return XXH64_digest(reinterpret_cast<const XXH64_state_t*>(state_));
}

size_t MarkerScan::Feed(const unsigned char* block, size_t size) {
    if (found_) return 0;
    const size_t end = Scan(block, size);
    Count(block, end);
    return end;
}

void MarkerScan::Count(const unsigned char* block, size_t end) {
    // Only the stub's padding, the record and the marker are counted: the
    // scan stops at the marker, and the stub's own bytes are skipped.
    if (stubEnd_ != 0 && scanned_ + end > stubEnd_) {
        for (size_t i = stubEnd_ > scanned_ ? size_t(stubEnd_ - scanned_) : 0; i < end; ++i)
            nonZeroAfterStub_ += block[i] != 0;
    }
    scanned_ += end;
}

size_t MarkerScan::Scan(const unsigned char* block, size_t size) {
    // Worked on in locals: the block's bytes may alias anything, members
    // included, so the compiler would otherwise load and store them per byte.
    const unsigned char* marker = marker_;
    size_t matched = matched_;
    for (size_t p = 0; p < size; ++p) {
        if (matched == 0) {
            // Outside a partial match only the marker's first byte can start
            // one: skip to its next occurrence.
            const void* first = std::memchr(block + p, marker[0], size - p);
            if (first == nullptr) break;
            p = size_t(static_cast<const unsigned char*>(first) - block);
        }
        if (block[p] == marker[matched]) {
            if (++matched == kMarkerLength) {
                matched_ = matched;
                found_ = true;
                Remember(block, p + 1);
                return p + 1;
            }
        } else {
            matched = 0;
        }
    }
    matched_ = matched;
    Remember(block, size);
    return size;
}

void MarkerScan::Remember(const unsigned char* bytes, size_t size) {
    // Keeps the last sizeof(before_) bytes seen; once the marker is found
    // they end with it, and the record stands in front of it.
    constexpr size_t kKept = sizeof(before_);
    if (size >= kKept) {
        std::memcpy(before_, bytes + size - kKept, kKept);
    } else {
        std::memmove(before_, before_ + size, kKept - size);
        std::memcpy(before_ + kKept - size, bytes, size);
    }
}

RecordRead ReadRecordBeforeMarker(const MarkerScan& scan, PayloadDigest& digest) {
    digest = PayloadDigest();
    const unsigned char* record = scan.BytesBeforeMarker();
    const bool whole = ReadDigestRecord(record, digest);
    if (scan.StubEnd() == 0) return whole ? RecordRead::kRecord : RecordRead::kNone;
    if (scan.MarkerOffset() < scan.StubEnd()) return RecordRead::kDamaged;
    // The marker's own bytes are none of them zero.
    const uint64_t nonZero = scan.NonZeroAfterStub() - kMarkerLength;
    if (nonZero == 0) return RecordRead::kNone;
    uint64_t inRecord = 0;
    for (size_t i = 0; i < kDigestRecordSize; ++i) inRecord += record[i] != 0;
    if (whole && scan.MarkerOffset() - scan.StubEnd() >= kDigestRecordSize && nonZero == inRecord)
        return RecordRead::kRecord;
    return RecordRead::kDamaged;
}

size_t PaddingBeforeMarker(uint64_t bytesBeforeMarker, size_t stubPartialMatch, bool withRecord, bool align) {
    size_t padding = 0;
    if (align) {
        const uint64_t payloadStart = bytesBeforeMarker + kMarkerLength;
        padding = size_t((kPayloadAlignment - payloadStart % kPayloadAlignment) % kPayloadAlignment);
    }
    // The scan never falls back after a broken partial match: a stub that
    // ends in a beginning of the marker needs a byte that breaks it before
    // the marker. A record does (its magic, then its zero tail).
    if (stubPartialMatch != 0 && !withRecord && padding == 0) padding = align ? kPayloadAlignment : 1;
    return padding;
}

bool ReadPeHeaders(const unsigned char* file, size_t size, PeHeaders& headers) {
    headers = PeHeaders();
    if (size < 0x40 || file[0] != 'M' || file[1] != 'Z') return false;
    const uint64_t pe = ReadLe(file + 0x3C, 4);
    if (pe + 24 > size || std::memcmp(file + pe, "PE\0\0", 4) != 0) return false;
    const uint64_t sections = ReadLe(file + pe + 6, 2);
    const uint64_t optionalSize = ReadLe(file + pe + 20, 2);
    const uint64_t optional = pe + 24;
    if (optional + 2 <= size) {
        const bool pe32Plus = ReadLe(file + optional, 2) == 0x20B;
        // The certificate table is the fifth data directory.
        const uint64_t certificate = optional + (pe32Plus ? 112 : 96) + 4 * 8;
        if (certificate + 8 <= size && certificate + 8 <= optional + optionalSize) {
            headers.certificateOffset = uint32_t(ReadLe(file + certificate, 4));
            headers.certificateSize = uint32_t(ReadLe(file + certificate + 4, 4));
            if (headers.certificateSize == 0) headers.certificateOffset = 0;
        }
    }
    for (uint64_t i = 0; i < sections; ++i) {
        const uint64_t section = optional + optionalSize + 40 * i;
        if (section + 40 > size) break;
        const uint64_t end = ReadLe(file + section + 20, 4) + ReadLe(file + section + 16, 4);
        if (end > headers.imageEnd) headers.imageEnd = end;
    }
    return true;
}

uint64_t StubEnd(const PeHeaders& headers) {
    if (headers.certificateSize != 0 && headers.certificateOffset == headers.imageEnd)
        return headers.imageEnd + headers.certificateSize;
    return headers.imageEnd;
}

}  // namespace kesto
