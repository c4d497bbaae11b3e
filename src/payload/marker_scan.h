#pragma once
// Finding the payload marker in the launcher's file, block by block. No
// platform calls here, so the same code also builds natively for fuzzing.
#include <cstddef>
#include <cstdint>

namespace kesto {

constexpr size_t kMarkerLength = 10;

// Fills marker with the ten marker bytes and a terminating zero. The marker is
// put together from two 4-byte values and a 2-byte value at run time, so that
// its ten bytes never stand in one piece in the launcher's own image: the scan
// takes the first occurrence in the whole file.
void AssembleMarker(unsigned char (&marker)[kMarkerLength + 1]);

// The scan's state, carried from one block to the next.
class MarkerScan {
public:
    explicit MarkerScan(const unsigned char* marker) : marker_(marker) {}

    // Scans one block, unless the marker was found before. Returns where the
    // payload begins in this block: 0 once the marker has been found in an
    // earlier block, the position behind the marker's last byte when it ends
    // in this block, and size when nothing of this block is payload.
    //
    // A byte that breaks a partial match is not compared again with the
    // marker's first byte: the scan never falls back.
    size_t Feed(const unsigned char* block, size_t size);

    bool Found() const { return found_; }

private:
    const unsigned char* marker_;
    size_t matched_ = 0;
    bool found_ = false;
};

// Complements every byte in place (b becomes 255 - b).
void Complement(unsigned char* bytes, size_t size);

}  // namespace kesto
