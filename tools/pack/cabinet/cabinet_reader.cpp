#include "cabinet/cabinet_reader.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>

#include "cabinet/cabinet.h"
#include "payload/little_endian.h"
#include "payload/package_format.h"

namespace kesto::pack {

namespace {

// The cabinet format's fixed sizes and flags.
constexpr size_t kHeaderBytes = CabinetFormat::kHeader;
constexpr size_t kFolderBytes = CabinetFormat::kFolder;
constexpr size_t kFileEntryBytes = CabinetFormat::kFileEntry;
constexpr size_t kBlockHeaderBytes = CabinetFormat::kBlockHeader;
constexpr size_t kNameBytes = CabinetLimits::kNameBytes + 1;  // with its terminating zero
constexpr size_t kBlockData = CabinetLimits::kBlock;           // uncompressed bytes in one data block at most
constexpr uint16_t kPreviousCabinet = 1, kNextCabinet = 2, kReserve = 4;
constexpr uint16_t kContinuedFolders = 0xFFFD;  // iFolder values of files spanning cabinets
constexpr uint16_t kNameIsUtf8 = 0x80;

// The cabinet checksum: the little-endian 32-bit words XORed, the last one to
// three bytes taken in the format's own order.
uint32_t Checksum(const unsigned char* bytes, size_t size, uint32_t seed) {
    uint32_t sum = seed;
    size_t i = 0;
    for (; i + 4 <= size; i += 4) sum ^= ReadLe32(bytes + i);
    uint32_t rest = 0;
    switch (size % 4) {
        case 3: rest |= uint32_t(bytes[i++]) << 16; [[fallthrough]];
        case 2: rest |= uint32_t(bytes[i++]) << 8; [[fallthrough]];
        case 1: rest |= bytes[i]; break;
        default: break;
    }
    return sum ^ rest;
}

// Names not marked as UTF-8 are read as Latin-1: the code page that the
// cabinet does not name cannot be known.
std::string NameAsUtf8(const std::string& raw, bool utf8) {
    if (utf8) return raw;
    std::string name;
    for (unsigned char c : raw) {
        if (c < 0x80) {
            name += char(c);
        } else {
            name += char(0xC0 | c >> 6);
            name += char(0x80 | (c & 0x3F));
        }
    }
    return name;
}

std::string Number(uint64_t value) { return std::to_string(value); }

}  // namespace

FileSource::FileSource(const std::string& path) : in_((errno = 0, std::filesystem::u8path(path)), std::ios::binary) {
    open_ = bool(in_);
    if (!open_) {
        reason_ = errno != 0 ? std::strerror(errno) : "cannot be opened";
        return;
    }
    in_.seekg(0, std::ios::end);
    std::streamoff end = in_.tellg();
    open_ = end >= 0;
    size_ = open_ ? uint64_t(end) : 0;
    in_.seekg(0);
}

bool FileSource::Read(uint64_t offset, unsigned char* bytes, size_t size) {
    if (!open_ || offset > size_ || size > size_ - offset) return false;
    if (offset != position_ || !in_) {
        in_.clear();
        in_.seekg(std::streamoff(offset));
    }
    in_.read(reinterpret_cast<char*>(bytes), std::streamsize(size));
    bool whole = size_t(in_.gcount()) == size;
    position_ = whole ? offset + size : uint64_t(-1);
    return whole;
}

bool MemorySource::Read(uint64_t offset, unsigned char* bytes, size_t size) {
    if (offset > size_ || size > size_ - offset) return false;
    std::copy(bytes_ + offset, bytes_ + offset + size, bytes);
    return true;
}

bool PayloadSource::Read(uint64_t offset, unsigned char* bytes, size_t size) {
    if (!file_.Read(offset_ + offset, bytes, size)) return false;
    Complement(bytes, size);
    return true;
}

uint64_t CabinetTable::FileBytes() const {
    uint64_t total = 0;
    for (const CabinetEntry& entry : entries) total += entry.size;
    return total;
}

std::string CompressionName(unsigned type) {
    const char* names[] = {"stored", "MSZIP", "Quantum", "LZX"};
    return type < 4 ? names[type] : "compression " + std::to_string(type);
}

CabinetProblem ReadCabinetTable(ByteSource& cabinet, CabinetTable& table) {
    table = CabinetTable();
    unsigned char header[kHeaderBytes + 4];
    if (!cabinet.Read(0, header, kHeaderBytes)) return {CabinetProblem::kNotACabinet, "too short for a cabinet's header"};
    if (!std::equal(header, header + 4, "MSCF")) return {CabinetProblem::kNotACabinet, "not a cabinet"};
    table.cabinetBytes = ReadLe32(header + 8);
    if (table.cabinetBytes > cabinet.Size())
        return {CabinetProblem::kTruncated, "truncated: the cabinet's header says " + Number(table.cabinetBytes) +
                                                " bytes, " + Number(cabinet.Size()) + " are there"};
    // From here on nothing is read beyond the cabinet's own length.
    const uint64_t end = table.cabinetBytes;
    auto within = [end](uint64_t offset, uint64_t size) { return offset <= end && size <= end - offset; };
    auto read = [&](uint64_t offset, unsigned char* bytes, size_t size) {
        return within(offset, size) && cabinet.Read(offset, bytes, size);
    };
    if (header[25] != 1) return "unknown cabinet version " + Number(header[25]) + "." + Number(header[24]);
    const uint16_t folders = ReadLe16(header + 26), files = ReadLe16(header + 28), flags = ReadLe16(header + 30);
    if ((flags & (kPreviousCabinet | kNextCabinet)) != 0) return "one of a set of cabinets; only a whole cabinet is read";
    uint64_t offset = kHeaderBytes;
    unsigned folderReserve = 0;
    if ((flags & kReserve) != 0) {
        if (!read(offset, header + kHeaderBytes, 4)) return {CabinetProblem::kTruncated, "truncated header"};
        folderReserve = header[kHeaderBytes + 2];
        table.blockReserve = header[kHeaderBytes + 3];
        offset += 4 + ReadLe16(header + kHeaderBytes);
    }

    for (uint16_t i = 0; i < folders; ++i, offset += kFolderBytes + folderReserve) {
        unsigned char folder[kFolderBytes];
        if (!read(offset, folder, sizeof(folder))) return "the folder table runs past the cabinet's end";
        CabinetFolderInfo info;
        info.firstBlock = ReadLe32(folder);
        info.blocks = ReadLe16(folder + 4);
        info.compression = ReadLe16(folder + 6) & 0x0F;
        table.folders.push_back(info);
    }

    const uint64_t folderTableEnd = offset;
    offset = ReadLe32(header + 16);
    if (offset < folderTableEnd)
        return "the file table starts at offset " + Number(offset) + ", inside the header or the folder table (which end at " +
               Number(folderTableEnd) + ")";
    for (uint16_t i = 0; i < files; ++i) {
        unsigned char entry[kFileEntryBytes];
        if (!read(offset, entry, sizeof(entry))) return "the file table runs past the cabinet's end";
        CabinetEntry file;
        file.size = ReadLe32(entry);
        file.offset = ReadLe32(entry + 4);
        file.folder = ReadLe16(entry + 8);
        file.date = ReadLe16(entry + 10);
        file.time = ReadLe16(entry + 12);
        file.attributes = ReadLe16(entry + 14);
        offset += kFileEntryBytes;
        // The name: up to 256 bytes with its terminating zero.
        unsigned char name[kNameBytes];
        size_t available = size_t(std::min<uint64_t>(kNameBytes, end > offset ? end - offset : 0));
        if (!read(offset, name, available)) return "the file table runs past the cabinet's end";
        const unsigned char* zero = std::find(name, name + available, 0);
        if (zero == name + available) return "file entry " + Number(i + 1) + " has a name without an end";
        file.name = NameAsUtf8(std::string(reinterpret_cast<const char*>(name), size_t(zero - name)), (file.attributes & kNameIsUtf8) != 0);
        offset += size_t(zero - name) + 1;
        if (file.folder >= kContinuedFolders) return file.name + ": continued from or into another cabinet";
        if (file.folder >= folders)
            return file.name + ": in folder " + Number(file.folder) + ", the cabinet has " + Number(folders);
        table.entries.push_back(file);
    }

    // A cabinet that holds no file holds nothing to run (a file count that
    // wrapped past 65535 reads as none, too).
    if (table.entries.empty()) return "the cabinet holds no file";
    const uint64_t fileTableEnd = offset;

    // Every folder's blocks, header by header, in the order they lie: no
    // block may be shared by two folders, so the work stays bounded by the
    // cabinet's length.
    std::vector<size_t> order(table.folders.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(),
              [&](size_t a, size_t b) { return table.folders[a].firstBlock < table.folders[b].firstBlock; });
    uint64_t previousEnd = 0;
    const size_t blockHeader = kBlockHeaderBytes + table.blockReserve;
    for (size_t index : order) {
        CabinetFolderInfo& folder = table.folders[index];
        if (folder.firstBlock < previousEnd && folder.blocks > 0)
            return "folder " + Number(index) + "'s data blocks overlap another folder's";
        uint64_t at = folder.firstBlock;
        for (uint16_t block = 0; block < folder.blocks; ++block) {
            unsigned char bytes[kBlockHeaderBytes];
            if (!read(at, bytes, sizeof(bytes)))
                return "folder " + Number(index) + ": data block " + Number(block + 1) + " of " + Number(folder.blocks) +
                       " lies past the cabinet's end";
            const uint16_t compressed = ReadLe16(bytes + 4), uncompressed = ReadLe16(bytes + 6);
            if (uncompressed > kBlockData)
                return "folder " + Number(index) + ": data block " + Number(block + 1) + " says " + Number(uncompressed) +
                       " bytes, more than a block holds";
            if (!within(at + blockHeader, compressed))
                return "folder " + Number(index) + ": data block " + Number(block + 1) + " of " + Number(folder.blocks) +
                       " lies past the cabinet's end";
            folder.dataBytes += uncompressed;
            at += blockHeader + compressed;
        }
        if (folder.blocks > 0) previousEnd = at;
    }
    // The file table lies before the data: entries read from data blocks are no entries.
    for (size_t index = 0; index < table.folders.size(); ++index)
        if (table.folders[index].blocks > 0 && table.folders[index].firstBlock < fileTableEnd)
            return "the file table, up to offset " + Number(fileTableEnd) + ", runs into folder " + Number(index) +
                   "'s data blocks at offset " +
                   Number(table.folders[index].firstBlock);

    // Each entry within its folder's data, no two sharing a byte, and no
    // byte of data that no entry covers: a file is unpacked from bytes that
    // belong to it alone, and the data holds nothing that no file accounts
    // for (the files of a file table cut short).
    std::vector<size_t> byData(table.entries.size());
    for (size_t i = 0; i < byData.size(); ++i) byData[i] = i;
    auto dataOrder = [&](size_t a, size_t b) {
        const CabinetEntry &x = table.entries[a], &y = table.entries[b];
        return x.folder != y.folder ? x.folder < y.folder : x.offset < y.offset;
    };
    std::stable_sort(byData.begin(), byData.end(), dataOrder);
    const CabinetEntry* previous = nullptr;
    std::vector<uint64_t> covered(table.folders.size(), 0);  // the data up to here belongs to files
    auto uncovered = [&](size_t folder, uint64_t from, uint64_t to) {
        return "bytes " + Number(from) + " to " + Number(to) + " of folder " + Number(folder) + "'s " +
               Number(table.folders[folder].dataBytes) + " bytes of data belong to no file";
    };
    for (size_t index : byData) {
        const CabinetEntry& entry = table.entries[index];
        const uint64_t entryEnd = uint64_t(entry.offset) + entry.size;
        if (entryEnd > table.folders[entry.folder].dataBytes)
            return entry.name + ": its " + Number(entry.size) + " bytes at " + Number(entry.offset) +
                   " lie beyond the " + Number(table.folders[entry.folder].dataBytes) + " bytes its folder holds";
        if (previous != nullptr && previous->folder == entry.folder && entry.size > 0 &&
            uint64_t(previous->offset) + previous->size > entry.offset)
            return entry.name + ": its bytes overlap those of " + previous->name;
        if (entry.size > 0) {
            if (entry.offset > covered[entry.folder]) return uncovered(entry.folder, covered[entry.folder], entry.offset);
            covered[entry.folder] = entryEnd;
            previous = &entry;
        }
    }
    for (size_t folder = 0; folder < table.folders.size(); ++folder)
        if (covered[folder] < table.folders[folder].dataBytes)
            return uncovered(folder, covered[folder], table.folders[folder].dataBytes);
    return std::string();
}

namespace {

// Decompresses a folder's data blocks one after the other.
class FolderReader {
public:
    FolderReader(ByteSource& cabinet, const CabinetTable& table, size_t index)
        : cabinet_(cabinet), table_(table), folder_(table.folders[index]), index_(index), next_(folder_.firstBlock) {}
    ~FolderReader() {
        if (inflating_) inflateEnd(&stream_);
    }
    FolderReader(const FolderReader&) = delete;
    FolderReader& operator=(const FolderReader&) = delete;

    // Reads, checks and decompresses the next block into Data().
    std::string NextBlock();
    bool Done() const { return block_ == folder_.blocks; }
    const unsigned char* Data() const { return output_.get(); }
    uint64_t BlockStart() const { return start_; }  // in the folder's data
    uint64_t BlockEnd() const { return start_ + size_; }

private:
    std::string Problem(const std::string& what) const {
        return "folder " + std::to_string(index_) + ", data block " + std::to_string(block_) + " of " +
               std::to_string(folder_.blocks) + ": " + what;
    }
    std::string Inflate(const unsigned char* bytes, size_t size, size_t expected);

    ByteSource& cabinet_;
    const CabinetTable& table_;
    const CabinetFolderInfo& folder_;
    size_t index_;
    uint64_t next_;           // where the next block's header lies
    unsigned block_ = 0;      // blocks read so far
    uint64_t start_ = 0;
    size_t size_ = 0;
    std::unique_ptr<unsigned char[]> input_ = std::make_unique<unsigned char[]>(kBlockHeaderBytes + 255 + 65535);
    std::unique_ptr<unsigned char[]> output_ = std::make_unique<unsigned char[]>(kBlockData);
    z_stream stream_ = {};
    bool inflating_ = false;
    size_t previousSize_ = 0;  // the dictionary for the next MSZIP block
};

std::string FolderReader::NextBlock() {
    if (folder_.compression > 1)
        return "folder " + std::to_string(index_) + ": unsupported compression (" + CompressionName(folder_.compression) +
               "); kesto-pack reads stored and MSZIP cabinets";
    ++block_;
    start_ += size_;
    unsigned char* header = input_.get();
    const size_t headerBytes = kBlockHeaderBytes + table_.blockReserve;
    // ReadCabinetTable has checked that the block lies within the cabinet.
    if (!cabinet_.Read(next_, header, headerBytes)) return Problem("cannot be read");
    const uint32_t checksum = ReadLe32(header);
    const uint16_t compressed = ReadLe16(header + 4), uncompressed = ReadLe16(header + 6);
    unsigned char* data = header + headerBytes;
    if (!cabinet_.Read(next_ + headerBytes, data, compressed)) return Problem("cannot be read");
    next_ += headerBytes + compressed;
    // Zero: no checksum was computed. The sizes and the reserved bytes count too.
    if (checksum != 0 && Checksum(header + 4, headerBytes - 4, Checksum(data, compressed, 0)) != checksum)
        return Problem("wrong checksum");
    size_ = uncompressed;
    if (folder_.compression == 0) {
        if (compressed != uncompressed) return Problem("a stored block of " + std::to_string(compressed) + " bytes says " +
                                                       std::to_string(uncompressed) + " unpacked");
        std::copy(data, data + compressed, output_.get());
        return std::string();
    }
    return Inflate(data, compressed, uncompressed);
}

// MSZIP: "CK" and a deflate stream per block, whose dictionary is the
// previous block's output in the same folder.
std::string FolderReader::Inflate(const unsigned char* bytes, size_t size, size_t expected) {
    if (size < 2 || bytes[0] != 'C' || bytes[1] != 'K') return Problem("no MSZIP signature");
    if (!inflating_) {
        if (inflateInit2(&stream_, -MAX_WBITS) != Z_OK) return Problem("zlib cannot start");
        inflating_ = true;
    } else {
        inflateReset(&stream_);
        // The previous output is still in output_; zlib copies it first.
        if (inflateSetDictionary(&stream_, output_.get(), uInt(previousSize_)) != Z_OK) return Problem("zlib refused the dictionary");
    }
    stream_.next_in = const_cast<unsigned char*>(bytes + 2);
    stream_.avail_in = uInt(size - 2);
    stream_.next_out = output_.get();
    stream_.avail_out = uInt(kBlockData);
    int result = inflate(&stream_, Z_FINISH);
    const size_t produced = kBlockData - stream_.avail_out;
    if (result != Z_STREAM_END)
        return Problem(result == Z_BUF_ERROR && stream_.avail_out == 0 ? "decompresses to more than a block holds"
                                                                      : "bad MSZIP data");
    if (produced != expected)
        return Problem("decompresses to " + std::to_string(produced) + " bytes, its header says " + std::to_string(expected));
    previousSize_ = produced;
    return std::string();
}

}  // namespace

std::string ReadCabinetData(ByteSource& cabinet, const CabinetTable& table, EntrySink& sink) {
    std::vector<std::vector<size_t>> byFolder(table.folders.size());
    for (size_t i = 0; i < table.entries.size(); ++i) byFolder[table.entries[i].folder].push_back(i);
    for (size_t index = 0; index < table.folders.size(); ++index) {
        std::vector<size_t>& entries = byFolder[index];
        std::stable_sort(entries.begin(), entries.end(),
                         [&](size_t a, size_t b) { return table.entries[a].offset < table.entries[b].offset; });
        FolderReader reader(cabinet, table, index);
        std::string problem;
        // The entries in the order of their data, which ReadCabinetTable has
        // checked do not overlap: the blocks only move forward.
        for (size_t i : entries) {
            const CabinetEntry& entry = table.entries[i];
            problem = sink.Begin(entry);
            if (!problem.empty()) return problem;
            const uint64_t end = uint64_t(entry.offset) + entry.size;
            for (uint64_t at = entry.offset; at < end;) {
                while (reader.BlockEnd() <= at) {
                    if (reader.Done()) return entry.name + ": its bytes lie beyond its folder's data";
                    problem = reader.NextBlock();
                    if (!problem.empty()) return problem;
                }
                const uint64_t until = std::min(end, reader.BlockEnd());
                problem = sink.Write(reader.Data() + (at - reader.BlockStart()), size_t(until - at));
                if (!problem.empty()) return problem;
                at = until;
            }
            problem = sink.End(entry);
            if (!problem.empty()) return problem;
        }
        // The blocks behind the last file are checked too.
        while (!reader.Done()) {
            problem = reader.NextBlock();
            if (!problem.empty()) return problem;
        }
    }
    return std::string();
}

}  // namespace kesto::pack
