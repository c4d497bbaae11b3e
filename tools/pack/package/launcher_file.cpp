#include "package/launcher_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <utility>
#include <vector>

#include "cabinet/cabinet_reader.h"
#include "host.h"
#include "identity/pe_resources.h"
#include "package/read_package.h"
#include "payload/package_format.h"
#include "progress.h"

namespace kesto::pack {

namespace fs = std::filesystem;

namespace {

// A new file beside path, renamed into place by Commit and removed otherwise,
// also when the program is interrupted: a failed or interrupted write never
// leaves a file under the final name or beside it.
class TemporaryFile {
public:
    explicit TemporaryFile(const std::string& path) : path_(fs::u8path(path)) {
        std::random_device random;
        temporary_ = path_;
        temporary_ += ".tmp-" + std::to_string(random());
        RemoveIfInterrupted(temporary_.u8string());
    }
    ~TemporaryFile() {
        if (!committed_) {
            std::error_code error;
            fs::remove(temporary_, error);
        }
        KeepIfInterrupted(temporary_.u8string());
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    std::string path() const { return temporary_.u8string(); }
    // Why the rename failed, or an empty string.
    std::string Commit() {
        std::error_code error;
        fs::rename(temporary_, path_, error);
        committed_ = !error;
        return error ? error.message() : std::string();
    }

private:
    fs::path path_, temporary_;
    bool committed_ = false;
};

bool WriteAt(const std::string& path, uint64_t offset, const unsigned char* bytes, size_t size) {
    std::fstream file(fs::u8path(path), std::ios::binary | std::ios::in | std::ios::out);
    file.seekp(std::streamoff(offset));
    file.write(reinterpret_cast<const char*>(bytes), std::streamsize(size));
    file.close();
    return bool(file);
}

// Adds the bytes read through it to a PE checksum, from the payload's start
// on, as long as the reads run on without a gap (re-reads are fine): the
// read-back's pass over the payload sums it too. Without a checksum it only
// passes the reads on.
class ChecksumSource : public ByteSource {
public:
    ChecksumSource(ByteSource& inner, uint64_t from, PeChecksum* checksum)
        : inner_(inner), checksum_(checksum), summed_(from) {}
    uint64_t Size() const override { return inner_.Size(); }
    bool Read(uint64_t offset, unsigned char* bytes, size_t size) override {
        if (!inner_.Read(offset, bytes, size)) return false;
        if (checksum_ == nullptr) return true;
        if (offset > summed_) inSequence_ = false;
        if (inSequence_ && offset + size > summed_) {
            checksum_->Add(summed_, bytes + (summed_ - offset), size_t(offset + size - summed_));
            summed_ = offset + size;
        }
        return true;
    }
    // Whether every byte from the payload's start to the end was summed.
    bool Covered() const { return inSequence_ && summed_ == inner_.Size(); }

private:
    ByteSource& inner_;
    PeChecksum* checksum_;
    uint64_t summed_;
    bool inSequence_ = true;
};

std::string Describe(const CabinetMember& member) { return member.name + " (" + std::to_string(member.size) + " bytes)"; }

// The first difference between two listings, or an empty string.
std::string CompareListings(const std::vector<CabinetMember>& found, const std::vector<CabinetMember>& wanted,
                            const std::string& foundBy, const std::string& wantedBy) {
    for (size_t i = 0; i < std::max(found.size(), wanted.size()); ++i) {
        if (i < found.size() && i < wanted.size() && found[i].name == wanted[i].name && found[i].size == wanted[i].size)
            continue;
        return foundBy + (i < found.size() ? " " + Describe(found[i]) : " nothing") + " as file " + std::to_string(i + 1) +
               ", " + wantedBy + (i < wanted.size() ? " " + Describe(wanted[i]) : " nothing");
    }
    return std::string();
}

}  // namespace

StubImage ScanStub(const std::string& path, std::string bytes) {
    unsigned char marker[kMarkerLength + 1];
    AssembleMarker(marker);
    MarkerScan scan(marker);
    scan.Feed(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    StubImage stub{path, std::move(bytes), scan.Found(), 0};
    if (!stub.holdsMarker) stub.partialMatch = scan.PartialMatch();
    return stub;
}

bool ReadStub(const std::string& path, StubImage& stub, std::string& reason) {
    errno = 0;
    std::ifstream in(fs::u8path(path), std::ios::binary);
    if (!in) {
        reason = errno != 0 ? ErrnoText() : "cannot be opened";
        return false;
    }
    stub = ScanStub(path, std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()));
    return true;
}

std::string CheckStubImage(const StubImage& stub) {
    const std::string& bytes = stub.bytes;
    PeHeaders headers;
    if (bytes.size() < 2 || bytes.compare(0, 2, "MZ") != 0) return "not a Windows program (no MZ header)";
    if (!ReadPeHeaders(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), headers))
        return "not a Windows program (no PE header)";
    if (stub.holdsMarker) return "holds the marker itself";
    return std::string();
}

bool StubIsSigned(const std::string& stub) {
    PeHeaders headers;
    return ReadPeHeaders(reinterpret_cast<const unsigned char*>(stub.data()), stub.size(), headers) &&
           headers.certificateSize != 0;
}

std::string WriteLauncherFile(const StubImage& stubImage, const std::string& outputPath, bool align,
                              const CabinetWriter& writeCabinet, const std::vector<CabinetMember>* expected,
                              WrittenPackage& written, bool branded) {
    if (stubImage.holdsMarker) return "the stub " + stubImage.path + " holds the marker itself";
    const std::string& stub = stubImage.bytes;
    unsigned char marker[kMarkerLength + 1];
    AssembleMarker(marker);

    const uint64_t beforeMarker = stub.size() + kDigestRecordSize;
    const size_t padding = PaddingBeforeMarker(beforeMarker, stubImage.partialMatch, true, align);
    const uint64_t recordOffset = stub.size() + padding;
    const uint64_t payloadOffset = recordOffset + kDigestRecordSize + kMarkerLength;

    TemporaryFile file(outputPath);
    {
        std::ofstream out(fs::u8path(file.path()), std::ios::binary | std::ios::trunc);
        out.write(stub.data(), std::streamsize(stub.size()));
        // The zeros of the padding, and of the record, filled in below.
        const std::string zeros(padding + kDigestRecordSize, '\0');
        out.write(zeros.data(), std::streamsize(zeros.size()));
        out.write(reinterpret_cast<const char*>(marker), kMarkerLength);
        out.close();
        if (!out) return "cannot write " + file.path() + ": " + ErrnoText();
    }
    const Payload payload{file.path(), payloadOffset};
    std::string problem = writeCabinet(payload);
    if (!problem.empty()) return outputPath + " not written: " + problem;

    std::error_code error;
    const uint64_t fileBytes = fs::file_size(fs::u8path(file.path()), error);
    if (error) return "cannot read " + file.path() + ": " + error.message();
    const uint64_t cabinetBytes = fileBytes - payloadOffset;
    if (cabinetBytes > CabinetLimits::kCabinetBytes)
        return outputPath + " not written: the cabinet is " + std::to_string(cabinetBytes) +
               " bytes; Windows reads cabinets of at most " + std::to_string(CabinetLimits::kCabinetBytes);
    // The first pass over what was written: the tables and every data block
    // (checksum, MSZIP), which also gives the cabinet's digest.
    CabinetTable table;
    PayloadDigest digest{cabinetBytes, 0};
    PeChecksum checksum;  // an image given an identity gets its checksum over the whole file
    bool payloadSummed = false;
    {
        // Closed before the rename, which Windows refuses for an open file.
        FileSource written(file.path());
        ChecksumSource source(written, payloadOffset, branded ? &checksum : nullptr);
        PayloadSource cabinet(source, payloadOffset);
        problem = ReadCabinetTable(cabinet, table).message;
        HashingSource hashing(cabinet);
        // The tables before the first block, so that the blocks' reads go on from there.
        uint64_t firstBlock = cabinetBytes;
        for (const CabinetFolderInfo& folder : table.folders)
            if (folder.blocks > 0) firstBlock = std::min<uint64_t>(firstBlock, folder.firstBlock);
        std::vector<unsigned char> tables(size_t(std::min<uint64_t>(firstBlock, 1 << 20)));
        DiscardSink discard;
        Progress progress("reading back", table.FileBytes());
        ProgressSink counted(discard, progress);
        if (problem.empty() && !hashing.Read(0, tables.data(), tables.size())) problem = "cannot read " + file.path();
        if (problem.empty()) problem = ReadCabinetData(hashing, table, counted);
        if (!problem.empty()) return outputPath + " not written: the package does not read back whole: damaged cabinet: " + problem;
        bool readable = false;
        digest.value = hashing.Digest(cabinetBytes, readable);
        if (!readable) return "cannot read " + file.path();
        payloadSummed = source.Covered();
    }
    unsigned char record[kDigestRecordSize];
    WriteDigestRecord(digest, record);
    if (!WriteAt(file.path(), recordOffset, record, sizeof(record))) return "cannot write " + file.path() + ": " + ErrnoText();
    if (branded) {
        // The rest of the file: the image (its checksum field zero), the record and the marker.
        checksum.Add(0, reinterpret_cast<const unsigned char*>(stub.data()), stub.size());
        checksum.Add(recordOffset, record, sizeof(record));
        checksum.Add(recordOffset + sizeof(record), marker, kMarkerLength);
        problem = WriteChecksum(file.path(), payloadSummed ? &checksum : nullptr);
        if (!problem.empty()) return problem;
    }

    problem = CheckWrittenPackage(file.path(), payloadOffset, table, digest.value, expected);
    if (!problem.empty()) return outputPath + " not written: the package does not read back whole: " + problem;
    if (Interrupted()) return "interrupted";  // Windows: the console asked to stop while this was read back
    const std::string renamed = file.Commit();
    if (!renamed.empty()) return "cannot rename " + file.path() + " to " + outputPath + ": " + renamed;
    written = WrittenPackage{fileBytes, cabinetBytes, digest.value, table.entries.size(), table.FileBytes(),
                             CompressionName(table.folders.empty() ? 0 : table.folders[0].compression)};
    return std::string();
}

std::string CopyCabinetIn(const std::string& cabinetPath, const Payload& payload) {
    // Its size and its tables first, from the file itself: nothing is
    // copied of a cabinet that cannot be laid out.
    std::error_code error;
    const uint64_t size = fs::file_size(fs::u8path(cabinetPath), error);
    if (error) return "cannot read the cabinet " + cabinetPath + ": " + error.message();
    if (size > CabinetLimits::kCabinetBytes)
        return "the cabinet " + cabinetPath + " is " + std::to_string(size) + " bytes; Windows reads cabinets of at most " +
               std::to_string(CabinetLimits::kCabinetBytes);
    {
        FileSource source(cabinetPath);
        if (!source.Open()) return "cannot read the cabinet " + cabinetPath + ": " + source.Reason();
        CabinetTable table;
        const CabinetProblem problem = ReadCabinetTable(source, table);
        if (problem.kind == CabinetProblem::kNotACabinet) return cabinetPath + " is not a cabinet";
        if (problem) return cabinetPath + ": damaged cabinet: " + problem.message;
    }
    errno = 0;
    std::ifstream in(fs::u8path(cabinetPath), std::ios::binary);
    if (!in) return "cannot read the cabinet " + cabinetPath + ": " + ErrnoText();
    std::fstream out(fs::u8path(payload.file), std::ios::binary | std::ios::in | std::ios::out);
    out.seekp(std::streamoff(payload.offset));
    std::vector<unsigned char> block(1 << 20);
    bool first = true;
    while (in) {
        in.read(reinterpret_cast<char*>(block.data()), std::streamsize(block.size()));
        const size_t count = size_t(in.gcount());
        if (first && (count < 4 || !std::equal(block.begin(), block.begin() + 4, "MSCF")))
            return cabinetPath + " is not a cabinet";
        first = false;
        Complement(block.data(), count);
        out.write(reinterpret_cast<const char*>(block.data()), std::streamsize(count));
    }
    if (in.bad()) return "cannot read the cabinet " + cabinetPath + ": " + ErrnoText();
    out.close();
    if (!out) return "cannot write " + payload.file + ": " + ErrnoText();
    return std::string();
}

std::string CheckWrittenPackage(const std::string& path, uint64_t payloadOffset, const CabinetTable& table,
                                uint64_t digest, const std::vector<CabinetMember>* expected) {
    FileSource file(path);
    if (!file.Open()) return "cannot read " + path + ": " + file.Reason();
    PackageLayout layout;
    std::string problem = ReadLayout(file, layout);
    if (!problem.empty()) return problem;
    if (layout.payloadOffset != payloadOffset)
        return "the marker scan finds the payload at " + std::to_string(layout.payloadOffset) + ", it was written at " +
               std::to_string(payloadOffset);
    if (!layout.hasDigest) return "no digest record before the marker";
    const uint64_t following = layout.fileSize - payloadOffset;
    if (table.cabinetBytes != following || layout.digest.cabinetBytes != following)
        return "the cabinet's header says " + std::to_string(table.cabinetBytes) + " bytes, the digest record " +
               std::to_string(layout.digest.cabinetBytes) + ", and " + std::to_string(following) + " follow the marker";
    if (layout.digest.value != digest)
        return "the digest record says XXH64 " + DigestText(layout.digest.value) + ", the cabinet's is " + DigestText(digest);

    problem = CheckEntryNames(table);
    if (!problem.empty()) return problem;
    std::vector<CabinetMember> listed, read;
    for (const CabinetEntry& entry : table.entries) read.push_back({entry.name, entry.size});
    problem = ListCabinet(Payload{path, payloadOffset}, listed);
    if (!problem.empty()) return "the cabinet library cannot list it: " + problem;
    problem = CompareListings(listed, read, "the cabinet library lists", "the packer's reader");
    if (problem.empty() && expected != nullptr)
        problem = CompareListings(listed, *expected, "the cabinet holds", "packed was");
    return problem;
}

}  // namespace kesto::pack
