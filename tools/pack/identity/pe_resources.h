#pragma once
// The resources of a Windows program's image: reading its resource tree, and
// writing an image whose resource section holds another set of resources.
// All the knowledge of the PE layout the packer needs beyond the format
// module's (src/payload/package_format.h) lives here, portable, for both
// packers: no resource API of Windows is used, so the same inputs give the
// same bytes on Linux and on Windows.
#include <cstdint>
#include <string>
#include <vector>

namespace kesto::pack {

// A resource's type, name or language: a number, or a name when name is not empty.
struct ResourceKey {
    uint16_t id = 0;
    std::u16string name;
};
bool operator<(const ResourceKey& a, const ResourceKey& b);  // in the tree's order: names first
bool operator==(const ResourceKey& a, const ResourceKey& b);

// The resource types the packer writes or shows.
constexpr uint16_t kIconResource = 3;        // RT_ICON: one image of an icon
constexpr uint16_t kIconGroupResource = 14;  // RT_GROUP_ICON: the icon's directory of images
constexpr uint16_t kVersionResource = 16;    // RT_VERSION
// The language of the resources the packer writes: English (United States),
// the one the version strings are filed under too.
constexpr uint16_t kResourceLanguage = 0x0409;

struct Resource {
    ResourceKey type, name;
    uint16_t language = 0;
    uint32_t codePage = 0;
    std::string data;
};

// Reads the resources of an image (the file's bytes from its start), in the
// tree's order; none when the image has no resource directory. Returns an
// empty string or what is wrong with the image.
std::string ReadResources(const std::string& image, std::vector<Resource>& resources);

// Makes rebuilt: image with its resource section holding resources instead
// (sorted into the tree's order here). The section is written where the old
// one stood; the base relocations behind it, if any, move up behind the new
// one (nothing else may follow); an image without resources gets a new
// section before them. Section and file alignment, the size of the image,
// the data directories and the size of initialized data follow; the
// checksum is set to 0 for WriteChecksum once the whole file is written;
// everything else, the hardening flags included, stays as it is. Refused,
// with the reason: a signed image, bytes behind the last section, a symbol
// table, sections out of order, other sections behind the resources.
std::string ReplaceResources(const std::string& image, std::vector<Resource> resources, std::string& rebuilt);

// The PE checksum of a file, as Windows computes it (CheckSumMappedFile):
// the 16-bit one's complement sum of the file's words with the checksum
// field taken as zero, plus the file's length. The sum is taken in pieces,
// each byte added once, in any order: a piece at an odd offset counts as
// its sum shifted by a byte (2^16 is 1 in this arithmetic).
class PeChecksum {
public:
    void Add(uint64_t offset, const unsigned char* bytes, size_t size);
    uint32_t Value(uint64_t fileSize) const;

private:
    uint64_t sum_ = 0;  // modulo 0xFFFF
};

// Writes a file's checksum into its headers' field (which must hold zero):
// the one summed, when given, else summed here over the whole file. Returns
// an empty string or what went wrong.
std::string WriteChecksum(const std::string& path, const PeChecksum* summed = nullptr);

}  // namespace kesto::pack
