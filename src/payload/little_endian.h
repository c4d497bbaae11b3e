#pragma once
// Little-endian numbers in bytes: every field of a PE image, a cabinet and
// the digest record is stored this way. Shared by the launcher and the packer.
#include <cstddef>
#include <cstdint>

namespace kesto {

inline uint64_t ReadLe(const unsigned char* bytes, size_t count) {
    uint64_t value = 0;
    for (size_t i = count; i-- > 0;) value = value << 8 | bytes[i];
    return value;
}
inline uint16_t ReadLe16(const unsigned char* bytes) { return uint16_t(ReadLe(bytes, 2)); }
inline uint32_t ReadLe32(const unsigned char* bytes) { return uint32_t(ReadLe(bytes, 4)); }

inline void WriteLe(unsigned char* bytes, uint64_t value, size_t count) {
    for (size_t i = 0; i < count; ++i, value >>= 8) bytes[i] = static_cast<unsigned char>(value);
}

}  // namespace kesto
