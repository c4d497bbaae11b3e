// The packer's reading of packages (inspect and extract) on any bytes: the
// marker scan and layout, the digest record, the cabinet's tables, the name
// rules and every data block, on inputs up to 128 KiB (tests/native/fuzz/run.sh)
// from seeds with full 32 KiB data blocks. Nothing may crash, read out of
// bounds, hand a file more or fewer bytes than its entry names, or accept
// data that no file accounts for.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "cabinet/cabinet_reader.h"
#include "package/read_package.h"
#include "payload/package_format.h"

namespace {

using namespace kesto::pack;

void Check(bool condition) {
    if (!condition) std::abort();
}

// Counts what each file gets.
class CountingSink : public EntrySink {
public:
    std::string Begin(const CabinetEntry&) override {
        Check(!open_);
        open_ = true;
        count_ = 0;
        return std::string();
    }
    std::string Write(const unsigned char*, size_t size) override {
        Check(open_ && size > 0);
        count_ += size;
        total_ += size;
        return std::string();
    }
    std::string End(const CabinetEntry& entry) override {
        Check(open_ && count_ == entry.size);
        open_ = false;
        return std::string();
    }
    uint64_t total_ = 0;

private:
    bool open_ = false;
    uint64_t count_ = 0;
};

}  // namespace

// The first byte chooses what the rest is: a whole file, or a cabinet laid
// out behind a stub, without a digest record or with one that matches (so
// that the cabinet itself gets read).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const unsigned mode = data[0] % 3;
    std::vector<unsigned char> file;
    if (mode == 0) {
        file.assign(data + 1, data + size);
    } else {
        file = {'M', 'Z', 0, 0};
        if (mode == 2) {
            kesto::PayloadHash hash;
            hash.Update(data + 1, size - 1);
            unsigned char record[kesto::kDigestRecordSize];
            kesto::WriteDigestRecord({size - 1, hash.Value()}, record);
            file.insert(file.end(), record, record + sizeof(record));
        }
        unsigned char marker[kesto::kMarkerLength + 1];
        kesto::AssembleMarker(marker);
        file.insert(file.end(), marker, marker + kesto::kMarkerLength);
        const size_t payload = file.size();
        file.insert(file.end(), data + 1, data + size);
        kesto::Complement(file.data() + payload, size - 1);
    }

    MemorySource source(file.data(), file.size());
    PackageLayout layout;
    CabinetTable table;
    if (!ReadPackage(source, layout, table).empty()) return 0;
    Check(layout.payloadOffset <= file.size() && table.cabinetBytes <= file.size() - layout.payloadOffset);
    // Every byte of data belongs to exactly one file: no gap, no overlap.
    uint64_t dataBytes = 0;
    for (const CabinetFolderInfo& folder : table.folders) dataBytes += folder.dataBytes;
    Check(!table.entries.empty() && dataBytes == table.FileBytes());
    PayloadSource cabinet(source, layout.payloadOffset);
    CountingSink sink;
    if (ReadCabinetData(cabinet, table, sink).empty()) Check(sink.total_ == table.FileBytes());
    return 0;
}
