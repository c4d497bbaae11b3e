#pragma once
// Little-endian fields of an image held as a string of bytes (the PE image,
// its resources, an icon file), read and written through the one reader in
// src/payload/little_endian.h. Offsets are not checked: callers check them.
#include <cstdint>
#include <string>

#include "payload/little_endian.h"

namespace kesto::pack {

inline uint32_t Get(const std::string& bytes, uint64_t at, int count) {
    return uint32_t(ReadLe(reinterpret_cast<const unsigned char*>(bytes.data()) + at, size_t(count)));
}
inline void Put(std::string& bytes, uint64_t at, uint32_t value, int count) {
    WriteLe(reinterpret_cast<unsigned char*>(&bytes[size_t(at)]), value, size_t(count));
}
inline void Append(std::string& bytes, uint32_t value, int count) {
    bytes.resize(bytes.size() + size_t(count));
    Put(bytes, bytes.size() - size_t(count), value, count);
}

}  // namespace kesto::pack
