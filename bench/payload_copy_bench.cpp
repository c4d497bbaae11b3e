// payload_copy_bench LAUNCHER UNALIGNED_LAUNCHER SCRATCH ROUNDS
//
// Copies the payload out of LAUNCHER with PartialCopy, in this process,
// against baselines over the same file: a plain loop of 4096-byte ReadFile
// and WriteFile calls with neither scan nor complement; the same loop writing
// only the byte ranges PartialCopy writes (so that the difference is the scan
// and the complement alone); and CopyFileW. LAUNCHER is laid out as the
// packer lays it out: zero bytes between the image and the marker start the
// payload on a 4096-byte boundary, so every write is one whole page.
// UNALIGNED_LAUNCHER holds the same payload right behind the image, so every
// write straddles two pages. LAUNCHER carries the digest record in front of
// the marker, so PartialCopy checks the payload as it copies it; a copy of it
// made here with the record zeroed (the same layout, no digest) is copied
// without that check. All take turns in a rotating order, after one warm-up
// copy, so that every measured copy reads from the page cache.
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "bench_support.h"
#include "in_process.h"
#include "launcher/run_state.h"
#include "payload/package_format.h"
#include "payload/partial_copy.h"
#include "platform/handles.h"

namespace kesto::bench {
namespace {

// The launcher's block size, read and written without looking at the bytes.
// Bytes before skip are read but not written, as PartialCopy skips the image.
bool PlainLoopCopy(const std::wstring& from, const std::wstring& to, long long skip = 0) {
    UniqueFile in(::CreateFileW(from.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    UniqueFile out(::CreateFileW(to.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!in.valid() || !out.valid()) return false;
    std::vector<unsigned char> block(4096);
    long long total = 0;
    DWORD read = 0;
    while (::ReadFile(in.get(), block.data(), DWORD(block.size()), &read, nullptr) && read > 0) {
        DWORD start = total >= skip ? 0 : DWORD(std::min<long long>(skip - total, read));
        total += read;
        if (start == read) continue;
        DWORD written = 0;
        if (!::WriteFile(out.get(), block.data() + start, read - start, &written, nullptr) || written != read - start)
            return false;
    }
    return true;
}

// A copy of launcher whose digest record, in front of the marker at
// payloadStart, is zeroed: the same layout without a digest.
bool CopyWithoutDigest(const std::wstring& launcher, const std::wstring& copy, long long payloadStart) {
    if (!::CopyFileW(launcher.c_str(), copy.c_str(), FALSE)) return false;
    UniqueFile file(::CreateFileW(copy.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER at;
    at.QuadPart = payloadStart - LONGLONG(kMarkerLength + kDigestRecordSize);
    unsigned char record[kDigestRecordSize] = {};
    DWORD done = 0;
    PayloadDigest digest;
    if (!file.valid() || !::SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN) ||
        !::ReadFile(file.get(), record, sizeof(record), &done, nullptr) || done != sizeof(record) ||
        !ReadDigestRecord(record, digest))
        return false;
    const unsigned char zeros[kDigestRecordSize] = {};
    return ::SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN) &&
           ::WriteFile(file.get(), zeros, sizeof(zeros), &done, nullptr) && done == sizeof(zeros);
}

int Main(int argc, wchar_t** argv) {
    if (argc != 5) Fail("usage: payload_copy_bench LAUNCHER UNALIGNED_LAUNCHER SCRATCH ROUNDS");
    test::ResetForTest();  // among others: no restart or shutdown request can leave this program
    const std::wstring launcher = ArgumentPath(argv[1]);
    const std::wstring unaligned = ArgumentPath(argv[2]);
    const std::wstring scratch = ArgumentPath(argv[3]);
    const int rounds = std::max(1, _wtoi(argv[4]));
    if (!FreshFolder(scratch)) Fail("cannot make the scratch folder");
    const std::wstring cab = scratch + L"\\MyData.cab";
    const std::wstring plain = scratch + L"\\plain.bin";
    const std::wstring copied = scratch + L"\\copied.bin";
    g_run.workFolder = scratch;

    auto partialCopy = [&cab](const std::wstring& from) {
        test::PretendStartedAs(from, L"");
        return PartialCopy() && FileSize(cab) > 0;
    };
    // Warm-up, which also tells where the payload starts.
    const long long launcherSize = FileSize(launcher);
    if (!PlainLoopCopy(unaligned, plain) || !partialCopy(launcher)) Fail("cannot copy the launcher file");
    const long long payloadStart = launcherSize - FileSize(cab);
    if (payloadStart % 4096 != 0) Fail("the launcher file does not start its payload on a 4096-byte boundary");
    if (FileSize(unaligned) - FileSize(cab) >= payloadStart)
        Fail("the unaligned launcher file does not hold the same payload nearer the image");
    ::DeleteFileW(plain.c_str());
    ::DeleteFileW(cab.c_str());
    const std::wstring withoutDigest = scratch + L"\\without-digest.exe";
    if (!CopyWithoutDigest(launcher, withoutDigest, payloadStart)) Fail("the launcher file carries no digest record");

    struct Contender {
        std::function<bool()> copy;
        const std::wstring* output;
        std::vector<double> seconds;
    };
    enum { kPartialCopy, kCheckedCopy, kUnalignedPartialCopy, kPlainLoop, kSameRanges, kCopyFile, kContenders };
    std::vector<Contender> contenders(kContenders);
    contenders[kPartialCopy] = {[&] { return partialCopy(withoutDigest); }, &cab, {}};
    contenders[kCheckedCopy] = {[&] { return partialCopy(launcher); }, &cab, {}};
    contenders[kUnalignedPartialCopy] = {[&] { return partialCopy(unaligned); }, &cab, {}};
    contenders[kPlainLoop] = {[&] { return PlainLoopCopy(launcher, plain); }, &plain, {}};
    contenders[kSameRanges] = {[&] { return PlainLoopCopy(launcher, plain, payloadStart); }, &plain, {}};
    contenders[kCopyFile] = {[&] { return ::CopyFileW(launcher.c_str(), copied.c_str(), FALSE) != FALSE; },
                             &copied, {}};
    for (int round = 0; round < rounds; ++round) {
        for (int turn = 0; turn < kContenders; ++turn) {
            Contender& contender = contenders[(round + turn) % kContenders];
            double start = Now();
            bool copiedOk = contender.copy();
            contender.seconds.push_back(Now() - start);
            if (!copiedOk) Fail("a copy failed");
            ::DeleteFileW(contender.output->c_str());
        }
    }
    g_run.workFolder.clear();
    ::DeleteFileW(withoutDigest.c_str());
    Remove(scratch);

    const std::string size = Fixed(double(launcherSize) / (1 << 20), 0) + " MiB";
    auto report = [&](int measured, int baseline, const std::string& what, double target) {
        std::vector<double> ratios;
        for (int round = 0; round < rounds; ++round)
            ratios.push_back(contenders[measured].seconds[round] / contenders[baseline].seconds[round]);
        const Stats time = Summarize(contenders[measured].seconds);
        const Stats base = Summarize(contenders[baseline].seconds);
        const Stats ratio = Summarize(ratios);
        Row row;
        row.measure = what;
        row.median = Fixed(time.median, 3) + " s";
        row.min = Fixed(time.min, 3);
        row.max = Fixed(time.max, 3);
        row.baseline = Fixed(base.median, 3) + " s (" + Fixed(base.min, 3) + " to " + Fixed(base.max, 3) + ")";
        row.result = Range(ratio, 3, "x");
        row.target = target > 0 ? "<= " + Fixed(target, 2) + "x" : "report";
        row.met = target > 0 ? (ratio.median <= target ? "yes" : "no") : "-";
        PrintRow(row);
    };
    report(kPartialCopy, kPlainLoop,
           "1 payload copy, " + size + ": PartialCopy vs a 4 KiB ReadFile/WriteFile loop over the file", 1.10);
    report(kCheckedCopy, kPartialCopy, "1 ... with the digest (XXH64) checked vs the same file without a digest",
           1.25);
    report(kUnalignedPartialCopy, kPlainLoop,
           "1 ... marker right behind the image (kesto-pack --unaligned): every write straddles two pages", 0);
    report(kPartialCopy, kSameRanges,
           "1 ... scan and complement alone: vs the loop writing PartialCopy's byte ranges", 0);
    report(kPartialCopy, kCopyFile, "1 ... PartialCopy vs CopyFileW of the file", 0);
    return 0;
}

}  // namespace
}  // namespace kesto::bench

int wmain(int argc, wchar_t** argv) { return kesto::bench::Main(argc, argv); }
