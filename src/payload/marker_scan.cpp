#include "payload/marker_scan.h"

#include <cstring>

namespace kesto {

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

size_t MarkerScan::Feed(const unsigned char* block, size_t size) {
    if (found_) return 0;
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
                return p + 1;
            }
        } else {
            matched = 0;
        }
    }
    matched_ = matched;
    return size;
}

namespace {

void ComplementWord(unsigned char* at) {
    uintptr_t word;
    std::memcpy(&word, at, sizeof(word));
    word = ~word;
    std::memcpy(at, &word, sizeof(word));
}

}  // namespace

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

}  // namespace kesto
