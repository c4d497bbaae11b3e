#include "payload/partial_copy.h"

#include <windows.h>

#include <memory>
#include <new>
#include <string>

#include "launcher/run_state.h"
#include "log/log.h"
#include "payload/package_format.h"
#include "platform/guarded_file.h"
#include "platform/handles.h"
#include "platform/module_path.h"
#include "platform/syscalls.h"

namespace kesto {

namespace {
constexpr DWORD kBlockSize = 4096;
}

bool PartialCopy() {
    std::wstring ownPath;
    if (!GetOwnModulePath(ownPath)) return false;

    // Read sharing only: nobody can write to the file while it is copied, so
    // its size stays what was read before the loop.
    UniqueFile own(::CreateFileW(ownPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!own.valid()) return false;
    LARGE_INTEGER fileSize = {};
    if (!::GetFileSizeEx(own.get(), &fileSize)) return false;

    std::wstring outPath = g_run.workFolder + L"\\MyData.cab";
    UniqueFile out;
    if (g_run.extractOnlyFolder.empty()) {
        out.reset(::CreateFileW(outPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                nullptr));
    } else {
        // The caller's folder: a MyData.cab there that is a link or a second
        // name of another file is not written through (the run fails), and
        // an earlier one is emptied only once it has passed that check.
        bool existed = false;
        if (OpenGuardedFile(outPath, GENERIC_WRITE, nullptr, out, existed) && !::SetEndOfFile(out.get())) out.reset();
    }
    if (!out.valid()) return false;

    unsigned char marker[kMarkerLength + 1];
    AssembleMarker(marker);
    // No exception may leave the stage window's procedure.
    std::unique_ptr<unsigned char[]> block(new (std::nothrow) unsigned char[kBlockSize]);
    if (!block) return false;
    MarkerScan scan(marker);
    // A package with a digest record is checked as it is copied: the
    // cabinet's bytes, restored, against the record. Without one it is
    // copied as it stands.
    PayloadDigest expected;
    bool checked = false;
    uint64_t unchecked = 0;  // cabinet bytes not hashed yet
    PayloadHash hash;
    unsigned char cabinetHeader[kCabinetLengthEnd] = {};
    size_t headerBytes = 0;
    long long total = 0;
    while (total < fileSize.QuadPart) {
        DWORD read = 0;
        // A failed read, or no bytes before the size read at the start, means
        // the payload is incomplete: a cut-off cabinet is a failure here, not
        // something for the expansion to stumble on.
        if (!g_sys.ReadFile(own.get(), block.get(), kBlockSize, &read, nullptr) || read == 0) return false;
        if (total == 0) {
            PeHeaders headers;  // the stub's own, in the first block: where it ends
            if (ReadPeHeaders(block.get(), read, headers)) scan.SetStubEnd(StubEnd(headers));
        }
        const bool foundBefore = scan.Found();
        size_t payloadStart = scan.Feed(block.get(), read);
        if (!foundBefore && scan.Found()) {
            RecordRead record = ReadRecordBeforeMarker(scan, expected);
            if (record == RecordRead::kDamaged) {
                LogMessage(L"Payload damaged: the bytes before the marker are neither padding nor a digest record.");
                return false;
            }
            checked = record == RecordRead::kRecord;
            unchecked = expected.cabinetBytes;
        }
        if (payloadStart < read) {
            unsigned char* payload = block.get() + payloadStart;
            DWORD count = DWORD(read - payloadStart);
            Complement(payload, count);
            for (DWORD i = 0; i < count && headerBytes < kCabinetLengthEnd; ++i)
                cabinetHeader[headerBytes++] = payload[i];
            if (checked && unchecked > 0) {
                DWORD hashed = unchecked < count ? DWORD(unchecked) : count;
                hash.Update(payload, hashed);
                unchecked -= hashed;
            }
            DWORD written = 0;
            if (!g_sys.WriteFile(out.get(), payload, count, &written, nullptr) || written != count) return false;
        }
        total += read;
    }
    // Without the marker there is no payload at all. A marker that ends the
    // file leaves an empty cabinet, which the expansion then reports.
    if (!scan.Found()) return false;
    if (checked && unchecked > 0) {
        LogMessage(L"Payload damaged: the file ends before the cabinet does.");
        return false;
    }
    if (checked && (headerBytes < kCabinetLengthEnd || CabinetLengthInHeader(cabinetHeader) != expected.cabinetBytes)) {
        LogMessage(L"Payload damaged: the cabinet's header and its digest record differ in length.");
        return false;
    }
    if (checked && hash.Value() != expected.value) {
        LogMessage(L"Payload damaged: the cabinet does not match its digest.");
        return false;
    }
    return true;
}

}  // namespace kesto
