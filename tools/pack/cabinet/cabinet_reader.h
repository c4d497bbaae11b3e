#pragma once
// The packer's own cabinet reader, on zlib, the same on Linux and Windows. It
// reads a cabinet's tables and checks them against each other and against
// the bytes there are, then walks every data block (its checksum, MSZIP
// decompression) and hands each file's bytes to a sink. It holds one block
// at a time, and trusts no size the cabinet names: a hostile package costs
// reading time, never memory or disk.
#include <cstdint>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace kesto::pack {

// Bytes read at offsets: a file, or bytes in memory.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual uint64_t Size() const = 0;
    // Reads size bytes at offset; false unless all of them are there.
    virtual bool Read(uint64_t offset, unsigned char* bytes, size_t size) = 0;
};

// A file on disk. Open() tells whether it could be opened, Reason() why not
// (the system's reason).
class FileSource : public ByteSource {
public:
    explicit FileSource(const std::string& path);
    bool Open() const { return open_; }
    const std::string& Reason() const { return reason_; }
    uint64_t Size() const override { return size_; }
    bool Read(uint64_t offset, unsigned char* bytes, size_t size) override;

private:
    std::ifstream in_;
    bool open_ = false;
    std::string reason_;
    uint64_t size_ = 0;
    uint64_t position_ = 0;  // where the next read starts without a seek
};

class MemorySource : public ByteSource {
public:
    MemorySource(const unsigned char* bytes, size_t size) : bytes_(bytes), size_(size) {}
    uint64_t Size() const override { return size_; }
    bool Read(uint64_t offset, unsigned char* bytes, size_t size) override;

private:
    const unsigned char* bytes_;
    size_t size_;
};

// The payload of a launcher file: its bytes from offset on, restored (every
// byte complemented back), so that it reads as the cabinet itself.
class PayloadSource : public ByteSource {
public:
    PayloadSource(ByteSource& file, uint64_t offset) : file_(file), offset_(offset) {}
    uint64_t Size() const override { return file_.Size() > offset_ ? file_.Size() - offset_ : 0; }
    bool Read(uint64_t offset, unsigned char* bytes, size_t size) override;

private:
    ByteSource& file_;
    uint64_t offset_;
};

// One file of a cabinet, as its entry in the file table names it.
struct CabinetEntry {
    std::string name;    // UTF-8, parts separated by backslashes
    uint32_t size = 0;
    uint32_t offset = 0; // where its bytes start in its folder's data
    uint16_t folder = 0;
    uint16_t date = 0, time = 0, attributes = 0;
};

struct CabinetFolderInfo {
    uint32_t firstBlock = 0;  // where its first data block starts in the cabinet
    uint16_t blocks = 0;
    unsigned compression = 0; // 0 stored, 1 MSZIP, 2 Quantum, 3 LZX
    uint64_t dataBytes = 0;   // its data uncompressed, as the blocks' headers add up
};

struct CabinetTable {
    uint32_t cabinetBytes = 0;  // the cabinet's length, from its header
    unsigned blockReserve = 0;  // bytes reserved in every data block's header
    std::vector<CabinetFolderInfo> folders;
    std::vector<CabinetEntry> entries;  // in the cabinet's order
    // What the files hold together.
    uint64_t FileBytes() const;
};

// Reads and checks the header, the folders, the file entries and the
// header of every data block: everything lies within the cabinet's length,
// which lies within source; the file table lies between the folder table
// and the first data block; the folders' blocks do not overlap; every entry
// lies within the data of its folder and overlaps no other entry, and every
// byte of data belongs to an entry (each is named when it does not).
// Refused: a cabinet without files, sets of cabinets, files continued from
// or into another cabinet. Returns no problem or what is wrong.
struct CabinetProblem {
    enum Kind {
        kNone,
        kNotACabinet,  // too short for a header, or no "MSCF"
        kTruncated,    // the cabinet or its header ends early
        kDamaged,      // anything else
    };
    CabinetProblem() = default;
    CabinetProblem(Kind kind, std::string text) : kind(kind), message(std::move(text)) {}
    // A message alone: damaged, or no problem when it is empty.
    CabinetProblem(std::string text) : kind(text.empty() ? kNone : kDamaged), message(std::move(text)) {}
    CabinetProblem(const char* text) : CabinetProblem(std::string(text)) {}
    explicit operator bool() const { return kind != kNone; }

    Kind kind = kNone;
    std::string message;
};
CabinetProblem ReadCabinetTable(ByteSource& cabinet, CabinetTable& table);

// Receives the files' bytes: Begin, the bytes in order, End, file by file
// in the order of their data. A non-empty return stops the reading.
class EntrySink {
public:
    virtual ~EntrySink() = default;
    virtual std::string Begin(const CabinetEntry& entry) = 0;
    virtual std::string Write(const unsigned char* bytes, size_t size) = 0;
    virtual std::string End(const CabinetEntry& entry) = 0;
};

// Takes the bytes and keeps nothing.
class DiscardSink : public EntrySink {
public:
    std::string Begin(const CabinetEntry&) override { return std::string(); }
    std::string Write(const unsigned char*, size_t) override { return std::string(); }
    std::string End(const CabinetEntry&) override { return std::string(); }
};

// Walks every data block of every folder of a table read by ReadCabinetTable:
// checks its checksum, decompresses it (stored or MSZIP; other methods are
// refused as unsupported), and hands every file's bytes to sink.
std::string ReadCabinetData(ByteSource& cabinet, const CabinetTable& table, EntrySink& sink);

// The names of compression methods, by the number a folder gives.
std::string CompressionName(unsigned type);

}  // namespace kesto::pack
