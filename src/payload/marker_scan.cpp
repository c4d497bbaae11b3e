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
    for (size_t p = 0; p < size; ++p) {
        if (block[p] == marker_[matched_]) {
            if (++matched_ == kMarkerLength) {
                found_ = true;
                return p + 1;
            }
        } else {
            matched_ = 0;
        }
    }
    return size;
}

void Complement(unsigned char* bytes, size_t size) {
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>(~bytes[i]);
}

}  // namespace kesto
