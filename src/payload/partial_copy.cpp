#include "payload/partial_copy.h"

#include <windows.h>

#include <memory>
#include <new>
#include <string>

#include "launcher/run_state.h"
#include "payload/marker_scan.h"
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
    UniqueFile out(
        ::CreateFileW(outPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out.valid()) return false;

    unsigned char marker[kMarkerLength + 1];
    AssembleMarker(marker);
    // No exception may leave the stage window's procedure.
    std::unique_ptr<unsigned char[]> block(new (std::nothrow) unsigned char[kBlockSize]);
    if (!block) return false;
    MarkerScan scan(marker);
    long long total = 0;
    while (total < fileSize.QuadPart) {
        DWORD read = 0;
        // A failed read, or no bytes before the size read at the start, means
        // the payload is incomplete: a cut-off cabinet is a failure here, not
        // something for the expansion to stumble on.
        if (!g_sys.ReadFile(own.get(), block.get(), kBlockSize, &read, nullptr) || read == 0) return false;
        size_t payloadStart = scan.Feed(block.get(), read);
        if (payloadStart < read) {
            DWORD count = DWORD(read - payloadStart);
            Complement(block.get() + payloadStart, count);
            DWORD written = 0;
            if (!::WriteFile(out.get(), block.get() + payloadStart, count, &written, nullptr) || written != count)
                return false;
        }
        total += read;
    }
    // Without the marker there is no payload at all. A marker that ends the
    // file leaves an empty cabinet, which the expansion then reports.
    return scan.Found();
}

}  // namespace kesto
