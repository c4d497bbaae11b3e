// The packer's layout of a launcher file: stub, zero padding, digest record,
// marker, and the complemented cabinet, with the payload on a 4096-byte
// boundary.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "identity/pe_resources.h"
#include "package/launcher_file.h"
#include "payload/package_format.h"

namespace {

namespace fs = std::filesystem;
using kesto::PaddingBeforeMarker;

std::string Marker() {
    unsigned char marker[kesto::kMarkerLength + 1];
    kesto::AssembleMarker(marker);
    return std::string(reinterpret_cast<const char*>(marker), kesto::kMarkerLength);
}

// How many of the marker's first bytes data ends with, as the scan counts.
size_t PartialMatchAtEnd(const std::string& data) {
    unsigned char marker[kesto::kMarkerLength + 1];
    kesto::AssembleMarker(marker);
    kesto::MarkerScan scan(marker);
    scan.Feed(reinterpret_cast<const unsigned char*>(data.data()), data.size());
    return scan.PartialMatch();
}

std::string Read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void Write(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), std::streamsize(bytes.size()));
}

// Where the launcher's own scan says the payload starts, block by block.
size_t ScannedPayloadStart(const std::string& file) {
    unsigned char marker[kesto::kMarkerLength + 1];
    kesto::AssembleMarker(marker);
    kesto::MarkerScan scan(marker);
    for (size_t offset = 0; offset < file.size(); offset += 4096) {
        size_t length = std::min<size_t>(4096, file.size() - offset);
        size_t start = scan.Feed(reinterpret_cast<const unsigned char*>(file.data()) + offset, length);
        if (scan.Found()) return offset + start;
    }
    return std::string::npos;
}

class PackTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() / ("kesto-pack-test-" + std::to_string(::getpid()));
        fs::create_directories(folder_);
        // A real cabinet, made by gcab.
        Write(folder_ / "inside.txt", std::string(3000, '\x5a') + std::string(3, '\xff'));
        EXPECT_EQ(std::system(("gcab -c -n " + (folder_ / "cab").string() + " " + (folder_ / "inside.txt").string()).c_str()), 0);
    }
    void TearDown() override { fs::remove_all(folder_); }

    std::string Pack(const std::string& stub, bool align, std::string* problem = nullptr) {
        const std::string cab = (folder_ / "cab").string();
        kesto::pack::WrittenPackage written;
        std::string result = kesto::pack::WriteLauncherFile(
            kesto::pack::ScanStub((folder_ / "stub").string(), stub), (folder_ / "out").string(), align,
            [&](const kesto::pack::Payload& payload) { return kesto::pack::CopyCabinetIn(cab, payload); }, nullptr,
            written);
        if (problem != nullptr) *problem = result;
        return result.empty() ? Read(folder_ / "out") : std::string();
    }

    fs::path folder_;
};

TEST(PackPadding, AlignsThePayloadAndBreaksAPartialMatch) {
    EXPECT_EQ(PaddingBeforeMarker(4086, 0, false, true), 0u);     // 4086 + 10 = 4096
    EXPECT_EQ(PaddingBeforeMarker(4087, 0, false, true), 4095u);
    EXPECT_EQ(PaddingBeforeMarker(100, 0, false, true), 3986u);
    EXPECT_EQ(PaddingBeforeMarker(4086, 3, false, true), 4096u);  // aligned already, but "Kes" at the end
    EXPECT_EQ(PaddingBeforeMarker(100, 0, false, false), 0u);
    EXPECT_EQ(PaddingBeforeMarker(100, 3, false, false), 1u);
    EXPECT_EQ(PaddingBeforeMarker(4086, 3, true, true), 0u);      // the record breaks the match itself
}

TEST(PackPadding, PartialMatchIsCountedTheWayTheScanCounts) {
    EXPECT_EQ(PartialMatchAtEnd("abc"), 0u);
    EXPECT_EQ(PartialMatchAtEnd("abcKes"), 3u);
    EXPECT_EQ(PartialMatchAtEnd("KexKes"), 3u);
    EXPECT_EQ(PartialMatchAtEnd("KesKe"), 0u);   // the breaking 'K' is not compared again
    EXPECT_EQ(PartialMatchAtEnd(std::string("Kest\0", 5)), 0u);
}

TEST_F(PackTest, LayoutIsStubZerosRecordMarkerAndTheComplementedCabinet) {
    std::string stub(1000, '\x01');
    stub.replace(0, 2, "MZ");
    for (bool align : {true, false}) {
        std::string file = Pack(stub, align);
        std::string cab = Read(folder_ / "cab");
        size_t payloadStart = file.size() - cab.size();
        const size_t recordStart = payloadStart - 10 - kesto::kDigestRecordSize;
        EXPECT_EQ(file.substr(0, stub.size()), stub);
        EXPECT_EQ(file.substr(payloadStart - 10, 10), Marker());
        EXPECT_EQ(file.substr(stub.size(), recordStart - stub.size()), std::string(recordStart - stub.size(), '\0'));
        kesto::PayloadDigest digest;
        ASSERT_TRUE(kesto::ReadDigestRecord(reinterpret_cast<const unsigned char*>(file.data()) + recordStart, digest));
        kesto::PayloadHash hash;
        hash.Update(reinterpret_cast<const unsigned char*>(cab.data()), cab.size());
        EXPECT_EQ(digest.cabinetBytes, cab.size());
        EXPECT_EQ(digest.value, hash.Value());
        for (size_t i = 0; i < cab.size(); ++i) ASSERT_EQ(char(~cab[i]), file[payloadStart + i]) << i;
        EXPECT_EQ(ScannedPayloadStart(file), payloadStart);
        EXPECT_EQ(payloadStart % 4096 == 0, align);
    }
}

TEST_F(PackTest, StubEndingInABeginningOfTheMarkerStillGetsItsMarkerFound) {
    for (bool align : {true, false}) {
        std::string stub = "MZ" + std::string(4049, '\x01') + "Kes";  // 4054 + 32 + 10 bytes: aligned without padding
        std::string file = Pack(stub, align);
        EXPECT_EQ(ScannedPayloadStart(file), file.size() - Read(folder_ / "cab").size()) << align;
    }
}

TEST_F(PackTest, RefusesAStubHoldingTheMarkerAndAFileThatIsNoCabinet) {
    std::string problem;
    Pack("MZ" + Marker() + "rest", true, &problem);
    EXPECT_NE(problem.find("holds the marker"), std::string::npos) << problem;
    EXPECT_FALSE(fs::exists(folder_ / "out"));

    Write(folder_ / "cab", "not a cabinet");
    Pack("MZ", true, &problem);
    EXPECT_FALSE(fs::exists(folder_ / "out"));
    EXPECT_NE(problem.find("is not a cabinet"), std::string::npos) << problem;
}

// The packer sums a branded package's checksum in pieces (the image, the
// record and marker, the payload as the read-back reads it), at odd offsets
// too when a byte of padding breaks a partial marker: the pieces must give
// what one pass over the whole file gives, the 16-bit one's complement sum
// of its words plus its length.
TEST(PeChecksum, PiecesAtAnyOffsetGiveTheWholeFilesSum) {
    std::string file;
    for (int i = 0; i < 100003; ++i) file += char((i * 7919) ^ (i >> 3));
    const auto* bytes = reinterpret_cast<const unsigned char*>(file.data());
    uint64_t words = 0;
    for (size_t i = 0; i < file.size(); i += 2)
        words += uint8_t(file[i]) | (i + 1 < file.size() ? uint8_t(file[i + 1]) << 8 : 0);
    while (words >> 16) words = (words & 0xFFFF) + (words >> 16);
    kesto::pack::PeChecksum whole;
    whole.Add(0, bytes, file.size());
    EXPECT_EQ(whole.Value(file.size()), words + file.size());
    for (size_t cut : {size_t(1), size_t(4097), size_t(50000), size_t(99999)}) {
        kesto::pack::PeChecksum pieces;
        pieces.Add(cut, bytes + cut, file.size() - cut);  // the later piece first
        pieces.Add(0, bytes, cut);
        EXPECT_EQ(pieces.Value(file.size()), words + file.size()) << cut;
    }
}

}  // namespace
