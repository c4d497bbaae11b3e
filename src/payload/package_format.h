#pragma once
// The layout of a launcher file, in one place for the launcher, both packers,
// the tests and the benchmarks:
//
//   stub image | zero padding | digest record (optional) | marker | payload
//
// The payload is a cabinet with every byte complemented, running to the end
// of the file (a signature may follow the cabinet). The digest record names
// how many payload bytes the cabinet has and their XXH64; readers that do
// not know it (earlier launchers, cabinet tools) skip it with the padding.
// No platform calls here, so the same code also builds natively for the
// packer and for fuzzing.
#include <cstddef>
#include <cstdint>

namespace kesto {

constexpr size_t kMarkerLength = 10;

// Fills marker with the ten marker bytes and a terminating zero. The marker is
// put together from two 4-byte values and a 2-byte value at run time, so that
// its ten bytes never stand in one piece in the launcher's own image: the scan
// takes the first occurrence in the whole file.
void AssembleMarker(unsigned char (&marker)[kMarkerLength + 1]);

// Complements every byte in place (b becomes 255 - b).
void Complement(unsigned char* bytes, size_t size);

// The digest record: 32 bytes right before the marker.
//   0  8  "XXH64SUM"
//   8  8  the cabinet's length in bytes (little-endian): the payload bytes covered
//  16  8  XXH64 (seed 0) of those bytes as restored, i.e. of the cabinet itself
//  24  8  zero: leaves the marker scan without a partial match before the marker
constexpr size_t kDigestRecordSize = 32;
struct PayloadDigest {
    uint64_t cabinetBytes = 0;
    uint64_t value = 0;
};
void WriteDigestRecord(const PayloadDigest& digest, unsigned char (&record)[kDigestRecordSize]);
// False when the bytes are no digest record (a package made without one).
bool ReadDigestRecord(const unsigned char* record, PayloadDigest& digest);

// The cabinet's own length by its header (CFHEADER: "MSCF", then cbCabinet
// at offset 8), from its first kCabinetLengthEnd bytes; 0 when they are no
// cabinet header. A record must cover exactly this many bytes.
constexpr size_t kCabinetLengthEnd = 12;
uint64_t CabinetLengthInHeader(const unsigned char* header);

// Where a cabinet's file table starts and how many entries it holds, from the
// header's first kCabinetFilesEnd bytes (coffFiles at 16, cFiles at 28); false
// when they are no cabinet header.
constexpr size_t kCabinetFilesEnd = 30;
struct CabinetFiles {
    uint32_t offset = 0;
    uint32_t count = 0;
};
bool ReadCabinetFiles(const unsigned char* header, CabinetFiles& files);
// One entry of the file table (CFFILE): 16 bytes, then the name (at most 256
// bytes) and a zero. The name's length in bytes, or -1 when no zero ends it
// within the size bytes at hand.
constexpr size_t kCabinetEntryFixed = 16;
constexpr size_t kCabinetEntryLargest = kCabinetEntryFixed + 256 + 1;
long CabinetEntryNameLength(const unsigned char* entry, size_t size);

// XXH64 of a byte stream, fed in pieces.
class PayloadHash {
public:
    PayloadHash();
    void Update(const unsigned char* bytes, size_t size);
    uint64_t Value() const;

private:
    alignas(8) unsigned char state_[88];  // XXH64_state_t, kept out of this header
};

// The scan's state, carried from one block to the next.
class MarkerScan {
public:
    explicit MarkerScan(const unsigned char* marker) : marker_(marker) {}

    // Where the stub ends in the file (StubEnd), before the first Feed: from
    // there to the marker the scan counts the bytes that are not zero.
    void SetStubEnd(uint64_t stubEnd) { stubEnd_ = stubEnd; }

    // Scans one block, unless the marker was found before. Returns where the
    // payload begins in this block: 0 once the marker has been found in an
    // earlier block, the position behind the marker's last byte when it ends
    // in this block, and size when nothing of this block is payload.
    //
    // A byte that breaks a partial match is not compared again with the
    // marker's first byte: the scan never falls back.
    size_t Feed(const unsigned char* block, size_t size);

    bool Found() const { return found_; }
    // How many of the marker's first bytes the data so far ends with.
    size_t PartialMatch() const { return found_ ? 0 : matched_; }
    // Once found: the kDigestRecordSize bytes that stood right before the
    // marker (zeros where the file had fewer), whichever blocks they came in.
    const unsigned char* BytesBeforeMarker() const { return before_; }

    uint64_t StubEnd() const { return stubEnd_; }
    // Once found: where the marker starts in the file.
    uint64_t MarkerOffset() const { return scanned_ - kMarkerLength; }
    // Bytes other than zero from the stub's end to the marker's end.
    uint64_t NonZeroAfterStub() const { return nonZeroAfterStub_; }

private:
    size_t Scan(const unsigned char* block, size_t size);
    void Remember(const unsigned char* bytes, size_t size);
    void Count(const unsigned char* block, size_t end);

    const unsigned char* marker_;
    size_t matched_ = 0;
    bool found_ = false;
    unsigned char before_[kDigestRecordSize + kMarkerLength] = {};
    uint64_t stubEnd_ = 0;
    uint64_t scanned_ = 0;  // bytes fed, up to the marker's end once found
    uint64_t nonZeroAfterStub_ = 0;
};

// What stands between the stub's end and the marker (the scan has found
// it): zero padding, then a whole digest record or none. Anything else there,
// a record with one bit changed included, is damage, never "no record". When
// the stub's end is unknown (0: a file without readable headers, which the
// system would not start), only the bytes right before the marker are read.
enum class RecordRead { kNone, kRecord, kDamaged };
RecordRead ReadRecordBeforeMarker(const MarkerScan& scan, PayloadDigest& digest);

// The launcher copies its payload in 4096-byte blocks read from the start of
// its file. Zero bytes before the record and the marker that make the payload
// start on a block boundary turn every write into one whole page.
constexpr size_t kPayloadAlignment = 4096;

// How many zero bytes go behind the stub: enough to start the payload on a
// block boundary when align is set, and at least one when the stub ends in a
// beginning of the marker (stubPartialMatch, from MarkerScan::PartialMatch)
// and nothing else would break it. bytesBeforeMarker counts the stub and the
// digest record, if any.
size_t PaddingBeforeMarker(uint64_t bytesBeforeMarker, size_t stubPartialMatch, bool withRecord, bool align);

// The fields of a Windows program's headers that the packer and the tests
// read, from the first bytes of its file.
struct PeHeaders {
    uint32_t certificateOffset = 0;   // the certificate table (signature); 0 when none
    uint32_t certificateSize = 0;
    uint64_t imageEnd = 0;            // where the last section's raw data ends
};
// False when the bytes hold no MZ and PE header (within size).
bool ReadPeHeaders(const unsigned char* file, size_t size, PeHeaders& headers);
// Where a stub's own bytes end: its sections' data, and a certificate table
// that stands right behind them (a signed stub, packed as it is).
uint64_t StubEnd(const PeHeaders& headers);

}  // namespace kesto
