// The marker scan over a file cut into blocks of every size.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "payload/package_format.h"

namespace kesto {
namespace {

std::string AssembledMarker() {
    unsigned char marker[kMarkerLength + 1];
    AssembleMarker(marker);
    return std::string(reinterpret_cast<const char*>(marker), kMarkerLength);
}
const std::string kMarker = AssembledMarker();
const size_t kNotFound = std::string::npos;

// Feeds data to a fresh scan in blocks of blockSize bytes, as the copy loop
// does, and returns the file offset at which the payload starts; kNotFound
// when the marker never completes. Also checks what the copy loop relies
// on: a block's payload start never lies behind the block, and once found
// every later block is payload from its first byte.
size_t PayloadStart(const std::string& data, size_t blockSize) {
    unsigned char marker[kMarkerLength + 1];
    AssembleMarker(marker);
    MarkerScan scan(marker);
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
    size_t start = kNotFound;
    for (size_t offset = 0; offset < data.size(); offset += blockSize) {
        size_t size = std::min(blockSize, data.size() - offset);
        bool foundBefore = scan.Found();
        size_t inBlock = scan.Feed(bytes + offset, size);
        EXPECT_LE(inBlock, size);
        if (foundBefore) {
            EXPECT_EQ(inBlock, 0u);
        } else if (scan.Found()) {
            start = offset + inBlock;
        } else {
            EXPECT_EQ(inBlock, size);
        }
    }
    return start;
}

// Checks PayloadStart for every block size from 1 to beyond the data's end.
void ExpectStartForEveryBlockSize(const std::string& data, size_t expected) {
    for (size_t blockSize = 1; blockSize <= data.size() + 1; ++blockSize)
        ASSERT_EQ(PayloadStart(data, blockSize), expected) << "block size " << blockSize;
}

TEST(MarkerScan, AssembledMarkerIsTenDifferentPrintableBytesAndAZero) {
    // What the scan relies on: no byte of the marker repeats, so a broken
    // partial match can only hide an occurrence that starts with it.
    unsigned char marker[kMarkerLength + 1];
    for (unsigned char& byte : marker) byte = 0xCC;
    AssembleMarker(marker);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(marker), kMarkerLength), kMarker);
    EXPECT_EQ(marker[kMarkerLength], 0);
    for (size_t i = 0; i < kMarkerLength; ++i) {
        EXPECT_TRUE(marker[i] > 0x20 && marker[i] < 0x7F) << i;
        for (size_t j = i + 1; j < kMarkerLength; ++j) EXPECT_NE(marker[i], marker[j]) << i << " " << j;
    }
}

TEST(MarkerScan, FindsTheMarkerWhereverTheBlocksAreCut) {
    std::string image(37, '\0');
    image[5] = 'K';  // stray marker letters in the image do no harm
    image[20] = 'e';
    ExpectStartForEveryBlockSize(image + kMarker + "payload", 47);
    ExpectStartForEveryBlockSize(kMarker + "payload", 10);
    // A marker that ends the file leaves an empty payload, but is found.
    ExpectStartForEveryBlockSize(image + kMarker, 47);
    ExpectStartForEveryBlockSize(kMarker, 10);
}

TEST(MarkerScan, MarkerEndingABlockMakesTheNextBlockWholePayload) {
    unsigned char marker[kMarkerLength + 1];
    AssembleMarker(marker);
    MarkerScan scan(marker);
    std::string first = std::string(6, '\0') + kMarker;
    std::string second = "abc";
    EXPECT_EQ(scan.Feed(reinterpret_cast<const unsigned char*>(first.data()), first.size()), first.size());
    EXPECT_TRUE(scan.Found());
    EXPECT_EQ(scan.Feed(reinterpret_cast<const unsigned char*>(second.data()), second.size()), 0u);
}

TEST(MarkerScan, NoMarkerNoPayload) {
    ExpectStartForEveryBlockSize("", kNotFound);
    ExpectStartForEveryBlockSize(std::string(30, '\0'), kNotFound);
    ExpectStartForEveryBlockSize(kMarker.substr(0, 9), kNotFound);
    ExpectStartForEveryBlockSize("x" + kMarker.substr(0, 9) + "z" + kMarker.substr(1), kNotFound);
    // The marker's letters in another case are other bytes.
    ExpectStartForEveryBlockSize("kestobinay", kNotFound);
}

TEST(MarkerScan, ByteThatBreaksAPartialMatchIsNotTriedAgain) {
    // A beginning of the marker directly followed by the whole marker: the
    // marker's first byte arrives as the byte that breaks the match.
    for (size_t partial = 1; partial < kMarkerLength; ++partial) {
        std::string missed = kMarker.substr(0, partial) + kMarker;
        ExpectStartForEveryBlockSize(missed, kNotFound);
        // A later occurrence behind a zero byte is found.
        std::string data = missed + "ab" + '\0' + kMarker + "payload";
        ExpectStartForEveryBlockSize(data, missed.size() + 3 + kMarkerLength);
    }
    // Any other byte in front of the marker leaves it alone.
    ExpectStartForEveryBlockSize("KK" + std::string(1, 'x') + kMarker, 13);
}

TEST(MarkerScan, OnlyTheFirstOccurrenceCounts) {
    std::string data = std::string(3, '\0') + kMarker + "ab" + kMarker + "cd";
    ExpectStartForEveryBlockSize(data, 13);
    // Directly repeated: the second marker is payload.
    ExpectStartForEveryBlockSize(kMarker + kMarker, 10);
}

TEST(MarkerScan, EmptyBlockKeepsThePartialMatch) {
    unsigned char marker[kMarkerLength + 1];
    AssembleMarker(marker);
    MarkerScan scan(marker);
    const auto* bytes = reinterpret_cast<const unsigned char*>(kMarker.data());
    EXPECT_EQ(scan.Feed(bytes, 4), 4u);
    EXPECT_EQ(scan.Feed(bytes + 4, 0), 0u);
    EXPECT_EQ(scan.Feed(bytes + 4, 6), 6u);
    EXPECT_TRUE(scan.Found());
}

TEST(MarkerScan, ComplementRestoresEveryByteValue) {
    unsigned char bytes[256];
    for (int i = 0; i < 256; ++i) bytes[i] = static_cast<unsigned char>(i);
    Complement(bytes, 256);
    EXPECT_EQ(bytes[0x00], 0xFF);
    EXPECT_EQ(bytes[0xFF], 0x00);
    EXPECT_EQ(bytes[0x5A], 0xA5);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(bytes[i], 255 - i);
    Complement(bytes + 1, 0);  // nothing to do
    EXPECT_EQ(bytes[1], 0xFE);
}

TEST(MarkerScan, ComplementTouchesExactlyTheRangeAtAnyAlignment) {
    // Steps of several words with a byte-wise rest: every start and length
    // up to a few steps, with guard bytes on both sides left as they were.
    for (size_t start = 0; start < 16; ++start) {
        for (size_t length = 0; length <= 100; ++length) {
            unsigned char bytes[128];
            for (size_t i = 0; i < sizeof(bytes); ++i) bytes[i] = static_cast<unsigned char>(i * 37 + 11);
            Complement(bytes + start, length);
            for (size_t i = 0; i < sizeof(bytes); ++i) {
                unsigned char original = static_cast<unsigned char>(i * 37 + 11);
                bool inside = i >= start && i < start + length;
                ASSERT_EQ(bytes[i], inside ? static_cast<unsigned char>(~original) : original)
                    << "start " << start << ", length " << length << ", byte " << i;
            }
        }
    }
}

}  // namespace
}  // namespace kesto
