#include "identity/pe_resources.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <tuple>

#include "identity/image_bytes.h"
#include "payload/package_format.h"

namespace kesto::pack {

namespace fs = std::filesystem;

namespace {

uint32_t AlignUp(uint32_t value, uint32_t alignment) { return (value + alignment - 1) / alignment * alignment; }

// The data directories the packer touches.
constexpr int kResourceDirectory = 2;
constexpr int kRelocationDirectory = 5;
constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kInitializedData = 0x40;       // IMAGE_SCN_CNT_INITIALIZED_DATA
constexpr uint32_t kReadable = 0x40000000;        // IMAGE_SCN_MEM_READ
constexpr size_t kMostResources = 65536;

struct Section {
    char name[8];
    uint32_t virtualSize, virtualAddress, rawSize, rawOffset, characteristics;
    uint32_t VirtualEnd() const { return virtualAddress + std::max(virtualSize, rawSize); }
};

// The headers of an image, as far as the packer reads and writes them.
struct Headers {
    uint32_t optional = 0;           // where the optional header starts
    uint32_t sectionTable = 0;
    uint32_t sizeOfHeaders = 0, fileAlignment = 0, sectionAlignment = 0;
    uint32_t directories = 0;        // where the data directories start
    uint32_t directoryCount = 0;
    bool pe32Plus = false;
    std::vector<Section> sections;

    uint32_t ChecksumOffset() const { return optional + 64; }
    uint32_t SizeOfImageOffset() const { return optional + 56; }
    uint32_t InitializedDataOffset() const { return optional + 8; }
    uint32_t DirectoryRva(const std::string& image, int index) const {
        return uint32_t(index) < directoryCount ? Get(image, directories + 8 * index, 4) : 0;
    }
    uint32_t DirectorySize(const std::string& image, int index) const {
        return uint32_t(index) < directoryCount ? Get(image, directories + 8 * index + 4, 4) : 0;
    }
    // The file offset of size bytes at rva, or false when no section's raw data holds them.
    bool FileOffset(uint32_t rva, uint32_t size, uint64_t& offset) const {
        for (const Section& section : sections)
            if (rva >= section.virtualAddress && uint64_t(rva) + size <= uint64_t(section.virtualAddress) + section.rawSize) {
                offset = uint64_t(section.rawOffset) + (rva - section.virtualAddress);
                return true;
            }
        return false;
    }
};

std::string ReadHeaders(const std::string& image, Headers& headers) {
    kesto::PeHeaders pe;
    if (!kesto::ReadPeHeaders(reinterpret_cast<const unsigned char*>(image.data()), image.size(), pe))
        return "not a Windows program (no PE header)";
    const uint32_t at = Get(image, 0x3C, 4);
    const uint32_t sectionCount = Get(image, at + 6, 2);
    const uint32_t optionalSize = Get(image, at + 20, 2);
    headers.optional = at + 24;
    headers.sectionTable = headers.optional + optionalSize;
    if (uint64_t(headers.sectionTable) + kSectionHeaderSize * sectionCount > image.size())
        return "its headers are cut short";
    headers.pe32Plus = Get(image, headers.optional, 2) == 0x20B;
    const uint32_t directoryStart = headers.optional + (headers.pe32Plus ? 112 : 96);
    headers.directories = directoryStart;
    // An optional header too short for the data directories names none (no resources).
    if (headers.sectionTable >= directoryStart)
        headers.directoryCount = std::min<uint32_t>(Get(image, directoryStart - 4, 4), (headers.sectionTable - directoryStart) / 8);
    if (optionalSize < 64) return std::string();
    headers.sectionAlignment = Get(image, headers.optional + 32, 4);
    headers.fileAlignment = Get(image, headers.optional + 36, 4);
    headers.sizeOfHeaders = Get(image, headers.optional + 60, 4);
    for (uint32_t i = 0; i < sectionCount; ++i) {
        const uint32_t entry = headers.sectionTable + kSectionHeaderSize * i;
        Section section;
        std::copy(image.begin() + entry, image.begin() + entry + 8, section.name);
        section.virtualSize = Get(image, entry + 8, 4);
        section.virtualAddress = Get(image, entry + 12, 4);
        section.rawSize = Get(image, entry + 16, 4);
        section.rawOffset = Get(image, entry + 20, 4);
        section.characteristics = Get(image, entry + 36, 4);
        if (section.rawSize != 0 && uint64_t(section.rawOffset) + section.rawSize > image.size())
            return "its section " + std::string(section.name, strnlen(section.name, 8)) + " lies beyond its end";
        headers.sections.push_back(section);
    }
    return std::string();
}

// Reading the tree: three levels (type, name, language), bounded by the directory's size.
class TreeReader {
public:
    TreeReader(const std::string& image, const Headers& headers, uint64_t start, uint32_t size)
        : image_(image), headers_(headers), start_(start), size_(size) {}

    std::string Read(std::vector<Resource>& resources) {
        Resource resource;
        return ReadDirectory(0, 0, resource, resources);
    }

private:
    bool Inside(uint32_t offset, uint32_t size) const { return uint64_t(offset) + size <= size_; }

    std::string ReadKey(uint32_t field, ResourceKey& key) const {
        key = ResourceKey();
        if ((field & 0x80000000u) == 0) {
            key.id = uint16_t(field);
            return std::string();
        }
        const uint32_t at = field & 0x7FFFFFFFu;
        if (!Inside(at, 2)) return "a resource name lies outside the resource directory";
        const uint32_t length = Get(image_, start_ + at, 2);
        if (length == 0 || !Inside(at + 2, 2 * length)) return "a resource name lies outside the resource directory";
        for (uint32_t i = 0; i < length; ++i) key.name.push_back(char16_t(Get(image_, start_ + at + 2 + 2 * i, 2)));
        return std::string();
    }

    std::string ReadDirectory(uint32_t at, int level, Resource& resource, std::vector<Resource>& resources) {
        if (!Inside(at, 16)) return "a resource directory lies outside the resource section";
        const uint32_t count = Get(image_, start_ + at + 12, 2) + Get(image_, start_ + at + 14, 2);
        if (!Inside(at + 16, 8 * count)) return "a resource directory lies outside the resource section";
        for (uint32_t i = 0; i < count; ++i) {
            const uint64_t entry = start_ + at + 16 + 8 * i;
            const uint32_t nameField = Get(image_, entry, 4), target = Get(image_, entry + 4, 4);
            ResourceKey key;
            std::string problem = ReadKey(nameField, key);
            if (!problem.empty()) return problem;
            const bool isDirectory = (target & 0x80000000u) != 0;
            if (isDirectory != (level < 2)) return "the resource tree is not three levels deep";
            if (level == 0) resource.type = key;
            if (level == 1) resource.name = key;
            if (isDirectory) {
                if ((target & 0x7FFFFFFFu) <= at) return "the resource tree loops";
                problem = ReadDirectory(target & 0x7FFFFFFFu, level + 1, resource, resources);
                if (!problem.empty()) return problem;
                continue;
            }
            if (!key.name.empty()) return "a resource's language is named, not numbered";
            resource.language = key.id;
            if (!Inside(target, 16)) return "a resource lies outside the resource section";
            const uint32_t rva = Get(image_, start_ + target, 4), size = Get(image_, start_ + target + 4, 4);
            resource.codePage = Get(image_, start_ + target + 8, 4);
            uint64_t offset = 0;
            if (!headers_.FileOffset(rva, size, offset)) return "a resource's data lies outside the image's sections";
            // Directories that share their entries could name far more than
            // the image holds: more bytes of resources than the image is
            // long, or more resources than a tree of distinct ones could
            // hold, are refused.
            dataBytes_ += size;
            if (dataBytes_ > image_.size() || resources.size() >= kMostResources)
                return "its resource tree names more data than the image holds";
            resource.data = image_.substr(size_t(offset), size);
            resources.push_back(resource);
        }
        return std::string();
    }

    const std::string& image_;
    const Headers& headers_;
    uint64_t start_;
    uint32_t size_;
    uint64_t dataBytes_ = 0;
};

// Writing the tree the way resource compilers lay it out: every directory
// (breadth first), the names, the data entries, then the data, each
// resource's data on an 8-byte boundary. No time stamp: the same resources
// give the same bytes.
std::string WriteTree(const std::vector<Resource>& resources, uint32_t sectionRva) {
    // The distinct keys at each level, in order (resources come sorted).
    struct NameNode { ResourceKey key; std::vector<size_t> languages; };
    struct TypeNode { ResourceKey key; std::vector<NameNode> names; };
    std::vector<TypeNode> types;
    for (size_t i = 0; i < resources.size(); ++i) {
        const Resource& resource = resources[i];
        if (types.empty() || !(types.back().key == resource.type)) types.push_back({resource.type, {}});
        std::vector<NameNode>& names = types.back().names;
        if (names.empty() || !(names.back().key == resource.name)) names.push_back({resource.name, {}});
        names.back().languages.push_back(i);
    }
    auto directorySize = [](size_t entries) { return uint32_t(16 + 8 * entries); };
    uint32_t size = directorySize(types.size());
    std::vector<uint32_t> typeDirectory, nameDirectory;  // where each directory goes
    for (const TypeNode& type : types) {
        typeDirectory.push_back(size);
        size += directorySize(type.names.size());
    }
    for (const TypeNode& type : types)
        for (const NameNode& name : type.names) {
            nameDirectory.push_back(size);
            size += directorySize(name.languages.size());
        }
    std::map<std::u16string, uint32_t> nameOffsets;
    for (const Resource& resource : resources)
        for (const ResourceKey* key : {&resource.type, &resource.name})
            if (!key->name.empty() && nameOffsets.emplace(key->name, size).second) size += uint32_t(2 + 2 * key->name.size());
    size = AlignUp(size, 8);
    const uint32_t dataEntries = size;
    size += uint32_t(16 * resources.size());
    std::vector<uint32_t> dataOffsets;
    for (const Resource& resource : resources) {
        size = AlignUp(size, 8);
        dataOffsets.push_back(size);
        size += uint32_t(resource.data.size());
    }

    std::string tree(size, '\0');
    auto putDirectory = [&](uint32_t at, const std::vector<const ResourceKey*>& keys, const std::vector<uint32_t>& targets) {
        uint32_t named = 0;
        for (const ResourceKey* key : keys) named += key->name.empty() ? 0 : 1;
        Put(tree, at + 12, named, 2);
        Put(tree, at + 14, uint32_t(keys.size()) - named, 2);
        for (size_t i = 0; i < keys.size(); ++i) {
            const ResourceKey& key = *keys[i];
            Put(tree, at + 16 + 8 * i, key.name.empty() ? key.id : 0x80000000u | nameOffsets[key.name], 4);
            Put(tree, at + 20 + 8 * i, targets[i], 4);
        }
    };
    std::vector<const ResourceKey*> keys;
    std::vector<uint32_t> targets;
    for (size_t t = 0; t < types.size(); ++t) {
        keys.push_back(&types[t].key);
        targets.push_back(0x80000000u | typeDirectory[t]);
    }
    putDirectory(0, keys, targets);
    size_t nameIndex = 0;
    for (size_t t = 0; t < types.size(); ++t) {
        keys.clear(), targets.clear();
        for (const NameNode& name : types[t].names) {
            keys.push_back(&name.key);
            targets.push_back(0x80000000u | nameDirectory[nameIndex++]);
        }
        putDirectory(typeDirectory[t], keys, targets);
    }
    nameIndex = 0;
    std::vector<ResourceKey> languageKeys(resources.size());
    for (const TypeNode& type : types)
        for (const NameNode& name : type.names) {
            keys.clear(), targets.clear();
            for (size_t i : name.languages) {
                languageKeys[i].id = resources[i].language;
                keys.push_back(&languageKeys[i]);
                targets.push_back(dataEntries + uint32_t(16 * i));
            }
            putDirectory(nameDirectory[nameIndex++], keys, targets);
        }
    for (const auto& [name, at] : nameOffsets) {
        Put(tree, at, uint32_t(name.size()), 2);
        for (size_t i = 0; i < name.size(); ++i) Put(tree, at + 2 + 2 * i, name[i], 2);
    }
    for (size_t i = 0; i < resources.size(); ++i) {
        const uint32_t entry = dataEntries + uint32_t(16 * i);
        Put(tree, entry, sectionRva + dataOffsets[i], 4);
        Put(tree, entry + 4, uint32_t(resources[i].data.size()), 4);
        Put(tree, entry + 8, resources[i].codePage, 4);
        std::copy(resources[i].data.begin(), resources[i].data.end(), tree.begin() + dataOffsets[i]);
    }
    return tree;
}

bool Contains(const Section& section, uint32_t rva) { return rva >= section.virtualAddress && rva < section.VirtualEnd(); }

// The sum of count little-endian 32-bit words: on a little-endian machine
// (both packers' hosts) straight from memory, which compilers vectorize.
uint64_t WordSum(const unsigned char* bytes, size_t count) {
    uint64_t sum = 0;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    for (size_t i = 0; i < count; ++i) {
        uint32_t word;
        std::memcpy(&word, bytes + 4 * i, 4);
        sum += word;
    }
#else
    for (size_t i = 0; i < count; ++i) {
        const unsigned char* word = bytes + 4 * i;
        sum += ReadLe32(word);
    }
#endif
    return sum;
}

// The whole file's checksum, with the field (zero) summed as it stands.
bool ComputeChecksum(const std::string& path, uint32_t& checksum) {
    std::ifstream in(fs::u8path(path), std::ios::binary);
    if (!in) return false;
    PeChecksum sum;
    std::vector<unsigned char> block(1 << 20);
    uint64_t offset = 0;
    while (in) {
        in.read(reinterpret_cast<char*>(block.data()), std::streamsize(block.size()));
        const size_t count = size_t(in.gcount());
        sum.Add(offset, block.data(), count);
        offset += count;
    }
    if (in.bad()) return false;
    checksum = sum.Value(offset);
    return true;
}

// Where a file's checksum field is, from its first bytes.
bool ChecksumField(const std::string& path, uint64_t& fieldOffset) {
    std::ifstream in(fs::u8path(path), std::ios::binary);
    std::string head(4096, '\0');
    in.read(&head[0], std::streamsize(head.size()));
    head.resize(size_t(in.gcount()));
    kesto::PeHeaders pe;
    if (!kesto::ReadPeHeaders(reinterpret_cast<const unsigned char*>(head.data()), head.size(), pe)) return false;
    Headers headers;
    headers.optional = Get(head, 0x3C, 4) + 24;
    fieldOffset = headers.ChecksumOffset();
    return fieldOffset + 4 <= head.size();
}

}  // namespace

bool operator<(const ResourceKey& a, const ResourceKey& b) {
    if (a.name.empty() != b.name.empty()) return !a.name.empty();
    return a.name.empty() ? a.id < b.id : a.name < b.name;
}

bool operator==(const ResourceKey& a, const ResourceKey& b) { return a.id == b.id && a.name == b.name; }

std::string ReadResources(const std::string& image, std::vector<Resource>& resources) {
    resources.clear();
    Headers headers;
    std::string problem = ReadHeaders(image, headers);
    if (!problem.empty()) return problem;
    const uint32_t rva = headers.DirectoryRva(image, kResourceDirectory);
    const uint32_t size = headers.DirectorySize(image, kResourceDirectory);
    if (size == 0) return std::string();
    uint64_t start = 0;
    if (!headers.FileOffset(rva, size, start)) return "its resource directory lies outside its sections";
    return TreeReader(image, headers, start, size).Read(resources);
}

std::string ReplaceResources(const std::string& image, std::vector<Resource> resources, std::string& rebuilt) {
    Headers headers;
    std::string problem = ReadHeaders(image, headers);
    if (!problem.empty()) return problem;
    kesto::PeHeaders pe;
    kesto::ReadPeHeaders(reinterpret_cast<const unsigned char*>(image.data()), image.size(), pe);
    if (pe.certificateSize != 0) return "it is signed, and its signature would no longer hold";
    if (pe.imageEnd != image.size())
        return "it has " + std::to_string(int64_t(image.size()) - int64_t(pe.imageEnd)) +
               " bytes behind its last section, which would have to move";
    if (headers.fileAlignment == 0 || headers.sectionAlignment == 0 || headers.directoryCount <= kRelocationDirectory)
        return "its headers name no alignment or too few data directories";
    const uint32_t peAt = Get(image, 0x3C, 4);
    if (Get(image, peAt + 12, 4) != 0) return "it carries a symbol table, whose place would move";
    std::vector<Section>& sections = headers.sections;
    for (size_t i = 1; i < sections.size(); ++i)
        if (sections[i].virtualAddress < sections[i - 1].VirtualEnd() ||
            (sections[i].rawSize != 0 && sections[i].rawOffset < sections[i - 1].rawOffset))
            return "its sections are not in the order of their addresses";

    // The base relocations can move as a whole: only their directory points into them.
    const uint32_t relocationRva = headers.DirectoryRva(image, kRelocationDirectory);
    const bool hasRelocations = headers.DirectorySize(image, kRelocationDirectory) != 0;
    size_t tail = sections.size();  // the first section that moves up
    if (!sections.empty() && hasRelocations && sections.back().virtualAddress == relocationRva) tail = sections.size() - 1;
    const uint32_t resourceRva = headers.DirectoryRva(image, kResourceDirectory);
    const bool hasResources = headers.DirectorySize(image, kResourceDirectory) != 0;
    size_t at = tail;  // the resource section's index
    if (hasResources) {
        if (tail == 0 || sections[tail - 1].virtualAddress != resourceRva)
            return "its resources do not fill the section before its base relocations (or its last section)";
        at = tail - 1;
    } else if (headers.sectionTable + kSectionHeaderSize * (sections.size() + 1) >
               std::min<uint64_t>(headers.sizeOfHeaders, sections.empty() ? headers.sizeOfHeaders : sections[0].rawOffset)) {
        return "its headers have no room for one more section";
    }
    for (uint32_t d = 0; d < headers.directoryCount; ++d) {
        const uint32_t rva = headers.DirectoryRva(image, int(d));
        if (int(d) == kResourceDirectory || int(d) == kRelocationDirectory || int(d) == 4 /* certificates: file offsets */ ||
            headers.DirectorySize(image, int(d)) == 0)
            continue;
        for (size_t s = at; s < sections.size(); ++s)
            if (Contains(sections[s], rva)) return "another data directory points into the sections that would move";
    }

    // The new resource section, where the old one (or the relocations) began.
    Section resource{};
    if (hasResources) {
        resource = sections[at];
    } else {
        std::copy_n(".rsrc\0\0\0", 8, resource.name);
        resource.characteristics = kInitializedData | kReadable;
        if (at < sections.size()) {
            resource.virtualAddress = sections[at].virtualAddress;
            resource.rawOffset = sections[at].rawOffset;
        } else {
            resource.virtualAddress = sections.empty() ? AlignUp(headers.sizeOfHeaders, headers.sectionAlignment)
                                                       : AlignUp(sections.back().VirtualEnd(), headers.sectionAlignment);
            resource.rawOffset = uint32_t(image.size());
        }
    }
    std::stable_sort(resources.begin(), resources.end(), [](const Resource& a, const Resource& b) {
        return std::tie(a.type, a.name) < std::tie(b.type, b.name) ||
               (!(std::tie(b.type, b.name) < std::tie(a.type, a.name)) && a.language < b.language);
    });
    std::string tree = WriteTree(resources, resource.virtualAddress);
    const uint32_t oldRaw = hasResources ? resource.rawSize : 0;
    resource.virtualSize = uint32_t(tree.size());
    resource.rawSize = AlignUp(uint32_t(tree.size()), headers.fileAlignment);
    tree.resize(resource.rawSize, '\0');

    // The sections behind it, moved up in the file and in memory by whole alignments.
    std::vector<Section> moved(sections.begin() + tail, sections.end());
    std::string movedBytes;
    uint32_t nextRva = AlignUp(resource.virtualAddress + std::max(resource.virtualSize, resource.rawSize), headers.sectionAlignment);
    uint32_t nextRaw = resource.rawOffset + resource.rawSize;
    for (Section& section : moved) {
        movedBytes += image.substr(section.rawOffset, section.rawSize);
        section.virtualAddress = nextRva;
        section.rawOffset = nextRaw;
        nextRva = AlignUp(section.VirtualEnd(), headers.sectionAlignment);
        nextRaw += section.rawSize;
    }

    std::vector<Section> result(sections.begin(), sections.begin() + at);
    result.push_back(resource);
    result.insert(result.end(), moved.begin(), moved.end());
    rebuilt = image.substr(0, resource.rawOffset) + tree + movedBytes;
    if (result.size() != sections.size()) Put(rebuilt, peAt + 6, uint32_t(result.size()), 2);
    for (size_t i = 0; i < result.size(); ++i) {
        const uint32_t entry = headers.sectionTable + kSectionHeaderSize * uint32_t(i);
        std::copy_n(result[i].name, 8, rebuilt.begin() + entry);
        Put(rebuilt, entry + 8, result[i].virtualSize, 4);
        Put(rebuilt, entry + 12, result[i].virtualAddress, 4);
        Put(rebuilt, entry + 16, result[i].rawSize, 4);
        Put(rebuilt, entry + 20, result[i].rawOffset, 4);
        Put(rebuilt, entry + 36, result[i].characteristics, 4);
    }
    Put(rebuilt, headers.directories + 8 * kResourceDirectory, resource.virtualAddress, 4);
    Put(rebuilt, headers.directories + 8 * kResourceDirectory + 4, resource.virtualSize, 4);
    if (tail < sections.size()) Put(rebuilt, headers.directories + 8 * kRelocationDirectory, moved[0].virtualAddress, 4);
    Put(rebuilt, headers.SizeOfImageOffset(), AlignUp(result.back().VirtualEnd(), headers.sectionAlignment), 4);
    Put(rebuilt, headers.InitializedDataOffset(), Get(image, headers.InitializedDataOffset(), 4) - oldRaw + resource.rawSize, 4);
    Put(rebuilt, headers.ChecksumOffset(), 0, 4);
    return std::string();
}

void PeChecksum::Add(uint64_t offset, const unsigned char* bytes, size_t size) {
    // This runs over whole packages: whole words first, in pieces whose sum
    // cannot overflow (2^32 words), then the bytes left over.
    uint64_t piece = 0;
    size_t i = 0;
    for (size_t words; (words = std::min<size_t>((size - i) / 4, size_t(1) << 30)) != 0; i += 4 * words)
        piece = piece % 0xFFFF + WordSum(bytes + i, words) % 0xFFFF;
    for (int shift = 0; i < size; ++i, shift += 8) piece += uint64_t(bytes[i]) << shift;
    piece %= 0xFFFF;
    sum_ = (sum_ + (offset % 2 != 0 ? piece << 8 : piece)) % 0xFFFF;
}

uint32_t PeChecksum::Value(uint64_t fileSize) const {
    // Folded, a sum of bytes that are not all zero is never 0 but 0xFFFF.
    return uint32_t((sum_ == 0 ? 0xFFFF : sum_) + fileSize);
}

std::string WriteChecksum(const std::string& path, const PeChecksum* summed) {
    uint64_t field = 0;
    uint32_t checksum = 0;
    if (!ChecksumField(path, field)) return "cannot read " + path;
    std::error_code error;
    if (summed != nullptr) checksum = summed->Value(fs::file_size(fs::u8path(path), error));
    if (error || (summed == nullptr && !ComputeChecksum(path, checksum))) return "cannot read " + path;
    std::fstream file(fs::u8path(path), std::ios::binary | std::ios::in | std::ios::out);
    file.seekp(std::streamoff(field));
    std::string bytes(4, '\0');
    Put(bytes, 0, checksum, 4);
    file.write(bytes.data(), 4);
    file.close();
    return file ? std::string() : "cannot write " + path;
}

}  // namespace kesto::pack
