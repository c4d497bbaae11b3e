// The packer's layout of a launcher file: stub, zero padding, marker, and the
// complemented cabinet, with the payload on a 4096-byte boundary.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "launcher_file.h"
#include "payload/package_format.h"

namespace {

namespace fs = std::filesystem;
using kesto::pack::Marker;
using kesto::pack::PaddingBeforeMarker;
using kesto::pack::PartialMatchAtEnd;
using kesto::pack::WriteLauncherFile;

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
        Write(folder_ / "cab", std::string("MSCF") + std::string(60, '\x5a') + std::string(3, '\xff'));
    }
    void TearDown() override { fs::remove_all(folder_); }

    std::string Pack(const std::string& stub, bool align, std::string* problem = nullptr) {
        Write(folder_ / "stub", stub);
        std::string result = WriteLauncherFile((folder_ / "stub").string(), (folder_ / "cab").string(),
                                               (folder_ / "out").string(), align);
        if (problem != nullptr) *problem = result;
        return result.empty() ? Read(folder_ / "out") : std::string();
    }

    fs::path folder_;
};

TEST(PackPadding, AlignsThePayloadAndBreaksAPartialMatch) {
    EXPECT_EQ(PaddingBeforeMarker(4086, false, true), 0u);     // 4086 + 10 = 4096
    EXPECT_EQ(PaddingBeforeMarker(4087, false, true), 4095u);
    EXPECT_EQ(PaddingBeforeMarker(100, false, true), 3986u);
    EXPECT_EQ(PaddingBeforeMarker(4086, true, true), 4096u);   // aligned already, but "Kes" at the end
    EXPECT_EQ(PaddingBeforeMarker(100, false, false), 0u);
    EXPECT_EQ(PaddingBeforeMarker(100, true, false), 1u);
}

TEST(PackPadding, PartialMatchIsCountedTheWayTheScanCounts) {
    EXPECT_EQ(PartialMatchAtEnd("abc"), 0u);
    EXPECT_EQ(PartialMatchAtEnd("abcKes"), 3u);
    EXPECT_EQ(PartialMatchAtEnd("KexKes"), 3u);
    EXPECT_EQ(PartialMatchAtEnd("KesKe"), 0u);   // the breaking 'K' is not compared again
    EXPECT_EQ(PartialMatchAtEnd(std::string("Kest\0", 5)), 0u);
}

TEST_F(PackTest, LayoutIsStubZerosMarkerAndTheComplementedCabinet) {
    const std::string stub(1000, '\x01');
    for (bool align : {true, false}) {
        std::string file = Pack(stub, align);
        std::string cab = Read(folder_ / "cab");
        size_t payloadStart = file.size() - cab.size();
        EXPECT_EQ(file.substr(0, stub.size()), stub);
        EXPECT_EQ(file.substr(payloadStart - 10, 10), Marker());
        EXPECT_EQ(file.substr(stub.size(), payloadStart - 10 - stub.size()),
                  std::string(payloadStart - 10 - stub.size(), '\0'));
        for (size_t i = 0; i < cab.size(); ++i) ASSERT_EQ(char(~cab[i]), file[payloadStart + i]) << i;
        EXPECT_EQ(ScannedPayloadStart(file), payloadStart);
        EXPECT_EQ(payloadStart % 4096 == 0, align);
    }
}

TEST_F(PackTest, StubEndingInABeginningOfTheMarkerStillGetsItsMarkerFound) {
    for (bool align : {true, false}) {
        std::string stub = std::string(4083, '\x01') + "Kes";  // 4086 bytes: aligned without padding
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
    EXPECT_NE(problem.find("is not a cabinet"), std::string::npos) << problem;
}

}  // namespace
