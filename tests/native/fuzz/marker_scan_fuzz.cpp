// The marker scan over random data cut into random blocks must find the same
// payload start as one pass over the whole buffer, and may miss an
// occurrence of the marker only right behind a beginning of the marker.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "payload/package_format.h"

namespace {

using kesto::kMarkerLength;
constexpr size_t kNotFound = SIZE_MAX;

// The scan over the whole buffer at once, as the layout describes it.
size_t ReferenceStart(const std::vector<uint8_t>& data, const unsigned char* marker) {
    size_t matched = 0;
    for (size_t p = 0; p < data.size(); ++p) {
        if (data[p] != marker[matched]) {
            matched = 0;  // the breaking byte is not tried again
        } else if (++matched == kMarkerLength) {
            return p + 1;
        }
    }
    return kNotFound;
}

// Whether the bytes right in front of position q are the marker's first one
// to nine bytes.
bool BehindABeginningOfTheMarker(const std::vector<uint8_t>& data, size_t q, const unsigned char* marker) {
    for (size_t length = 1; length < kMarkerLength && length <= q; ++length) {
        if (std::equal(marker, marker + length, data.begin() + (q - length))) return true;
    }
    return false;
}

// Makes data of whole markers, beginnings and ends of the marker, and single
// bytes, one piece per input byte: random bytes alone would almost never
// hold a marker.
std::vector<uint8_t> FromPieces(const std::vector<uint8_t>& pieces, const unsigned char* marker) {
    std::vector<uint8_t> data;
    for (uint8_t piece : pieces) {
        size_t cut = 1 + (piece >> 2) % (kMarkerLength - 1);
        switch (piece & 3) {
            case 0: data.insert(data.end(), marker, marker + kMarkerLength); break;
            case 1: data.insert(data.end(), marker, marker + cut); break;
            case 2: data.insert(data.end(), marker + cut, marker + kMarkerLength); break;
            default: {
                uint8_t choice = piece >> 2;
                data.push_back(choice < kMarkerLength ? marker[choice] : choice < 32 ? 0 : choice);
            }
        }
    }
    return data;
}

void Check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    unsigned char marker[kMarkerLength + 1];
    kesto::AssembleMarker(marker);

    FuzzedDataProvider input(bytes, size);
    const bool raw = input.ConsumeBool();
    const size_t maxBlock = input.PickValueInArray<size_t>({1, 2, 3, 9, 10, 11, 64, 4096});
    std::vector<uint8_t> blockSizes = input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(0, 64));
    std::vector<uint8_t> data = input.ConsumeRemainingBytes<uint8_t>();
    if (!raw) data = FromPieces(data, marker);

    kesto::MarkerScan scan(marker);
    size_t start = kNotFound;
    size_t offset = 0;
    for (size_t i = 0; offset < data.size(); ++i) {
        size_t blockSize = blockSizes.empty() ? maxBlock : 1 + blockSizes[i % blockSizes.size()] % maxBlock;
        blockSize = std::min(blockSize, data.size() - offset);
        // Each block in its own allocation, so that a read past it is caught.
        std::vector<unsigned char> block(data.begin() + offset, data.begin() + offset + blockSize);
        bool foundBefore = scan.Found();
        size_t inBlock = scan.Feed(block.data(), block.size());
        Check(inBlock <= blockSize);
        if (foundBefore) {
            Check(inBlock == 0);
        } else if (scan.Found()) {
            start = offset + inBlock;
        } else {
            Check(inBlock == blockSize);
        }
        offset += blockSize;
    }

    Check(start == ReferenceStart(data, marker));
    if (start != kNotFound) Check(start >= kMarkerLength && std::equal(marker, marker + kMarkerLength, data.begin() + (start - kMarkerLength)));

    // Every occurrence before the one found (all of them when none was) is
    // one that directly follows a beginning of the marker.
    size_t searchEnd = start == kNotFound ? data.size() : start - kMarkerLength;
    for (auto it = data.begin();; ++it) {
        it = std::search(it, data.end(), marker, marker + kMarkerLength);
        size_t q = size_t(it - data.begin());
        if (it == data.end() || q >= searchEnd) break;
        Check(BehindABeginningOfTheMarker(data, q, marker));
    }
    return 0;
}
