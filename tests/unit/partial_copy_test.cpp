// Copying the payload out of a launcher file into the work folder, over real
// files: where the payload starts, what it holds, and when the copy fails.
#include <gtest/gtest.h>
#include <windows.h>
#include <psapi.h>

#include <string>

#include "in_process.h"
#include "launcher/run_state.h"
#include "log/log.h"
#include "payload/partial_copy.h"
#include "platform/syscalls.h"
#include "test_support.h"

namespace kesto {
namespace {

using namespace std::string_literals;
using test::Complemented;
using test::MarkerBytes;
using test::ReadBytes;
using test::WriteBytes;

constexpr size_t kBlock = 4096;

// Every byte value, in an order that is not the identity.
std::string AllByteValues(size_t length) {
    std::string bytes(length, '\0');
    for (size_t i = 0; i < length; ++i) bytes[i] = char((i * 7 + i / 256) & 0xFF);
    return bytes;
}

// A launcher file in a scratch folder, started from there, with a work folder
// beside it.
class PartialCopyTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(test::MakeFolders(work_));
        g_run.workFolder = work_;
        test::PretendStartedAs(launcher_, L"");
    }
    void TearDown() override { g_run.workFolder.clear(); }

    // Writes the launcher file and copies its payload out.
    bool CopyFrom(const std::string& launcherBytes) {
        EXPECT_TRUE(WriteBytes(launcher_, launcherBytes));
        return PartialCopy();
    }
    std::wstring CabPath() const { return work_ + L"\\MyData.cab"; }
    std::string Cab() const { return ReadBytes(CabPath()); }

    test::OverrideScope overrides_;
    test::ScratchFolder folder_{L"copy"};
    std::wstring launcher_ = folder_ / L"setup.exe";
    std::wstring work_ = folder_ / L"work";
};

TEST_F(PartialCopyTest, PayloadIsEverythingBehindTheMarkerComplemented) {
    // An image of 0x22000 bytes ending in zero padding, a cabinet that spans
    // several blocks and ends inside one, and a certificate table behind it.
    std::string image = AllByteValues(0x22000 - 512) + std::string(512, '\0');
    std::string cabinet = "MSCF" + AllByteValues(3 * kBlock + 123);
    std::string certificate = AllByteValues(700);
    std::string file = image + MarkerBytes() + Complemented(cabinet + certificate);
    ASSERT_TRUE(CopyFrom(file));

    std::string cab = Cab();
    ASSERT_EQ(cab.size(), file.size() - 0x2200A);
    EXPECT_TRUE(cab == cabinet + certificate);
    EXPECT_EQ(cab.compare(0, 4, "MSCF"), 0);
}

TEST_F(PartialCopyTest, PayloadWithADigestIsCheckedAsItIsCopied) {
    // The record and the marker wherever the blocks cut them; a signature
    // behind the cabinet is copied but not covered by the digest.
    std::string cabinet = "MSCF" + AllByteValues(3 * kBlock + 123);
    for (size_t i = 0; i < 4; ++i) cabinet[8 + i] = char(cabinet.size() >> (8 * i));  // the header's length
    const std::string certificate = AllByteValues(700);
    const std::wstring log = folder_ / L"copy-sfxlog.log";
    for (size_t image : {size_t(0), size_t(kBlock - 20), size_t(kBlock - 42), size_t(2 * kBlock - 1)}) {
        SCOPED_TRACE(image);
        std::string file = test::LauncherBytes(std::string(image, '\0'), cabinet, true);
        ASSERT_TRUE(CopyFrom(file + Complemented(certificate)));
        EXPECT_TRUE(Cab() == cabinet + certificate);

        std::string changed = file;
        changed[changed.size() - 1000] ^= 0x10;  // one bit of the cabinet's data
        std::string cutOff = file.substr(0, file.size() - 1);
        LogOpen(log);
        EXPECT_FALSE(CopyFrom(changed));
        EXPECT_FALSE(CopyFrom(cutOff + Complemented("x")));  // a byte behind the cabinet does not make up for it
        EXPECT_FALSE(CopyFrom(cutOff));
        LogClose();
        std::vector<std::wstring> expected = {
            L"LOG mode (" + log + L").",
            L"Payload damaged: the cabinet does not match its digest.",
            L"Payload damaged: the cabinet does not match its digest.",
            L"Payload damaged: the file ends before the cabinet does.",
        };
        EXPECT_EQ(test::LogMessages(log), expected);
        ::DeleteFileW(log.c_str());
    }
}

TEST_F(PartialCopyTest, EveryByteValueIsRestored) {
    std::string stored = "\xFF\x00\x5A\xA5\x01"s;
    ASSERT_TRUE(CopyFrom(std::string(16, '\0') + MarkerBytes() + stored));
    EXPECT_EQ(Cab(), "\x00\xFF\xA5\x5A\xFE"s);
}

TEST_F(PartialCopyTest, MarkerAcrossABlockBoundary) {
    // The first six marker bytes end the first block, the last four begin
    // the second: the payload begins with the second block's fifth byte.
    std::string file = std::string(kBlock - 6, '\0') + MarkerBytes() + AllByteValues(2 * kBlock + 1);
    ASSERT_EQ(file.compare(kBlock + 4, std::string::npos, AllByteValues(2 * kBlock + 1)), 0);
    ASSERT_TRUE(CopyFrom(file));
    EXPECT_TRUE(Cab() == Complemented(file.substr(kBlock + 4)));
}

TEST_F(PartialCopyTest, MarkerEndingABlockLeavesTheNextBlockWhole) {
    std::string payload = AllByteValues(kBlock + 10);
    ASSERT_TRUE(CopyFrom(std::string(kBlock - 10, '\0') + MarkerBytes() + payload));
    EXPECT_TRUE(Cab() == Complemented(payload));
}

TEST_F(PartialCopyTest, MarkerEndingTheFileGivesAnEmptyCabinet) {
    ASSERT_TRUE(CopyFrom(std::string(100, '\0') + MarkerBytes()));
    EXPECT_TRUE(test::Exists(CabPath()));
    EXPECT_EQ(Cab(), "");
    // The same at a block's end.
    ASSERT_TRUE(CopyFrom(std::string(kBlock - 10, '\0') + MarkerBytes()));
    EXPECT_TRUE(test::Exists(CabPath()));
    EXPECT_EQ(Cab(), "");
}

TEST_F(PartialCopyTest, NoMarkerNoCopy) {
    EXPECT_FALSE(CopyFrom(AllByteValues(3 * kBlock + 5)));
    EXPECT_FALSE(CopyFrom(MarkerBytes().substr(0, 9)));
    EXPECT_FALSE(CopyFrom(""));
}

TEST_F(PartialCopyTest, OnlyTheFirstMarkerCounts) {
    std::string rest = "ab" + MarkerBytes() + "cd";
    ASSERT_TRUE(CopyFrom(std::string(20, '\0') + MarkerBytes() + rest));
    EXPECT_EQ(Cab(), Complemented(rest));
}

TEST_F(PartialCopyTest, MarkerRightBehindAPartialMatchIsMissed) {
    // "K" or "Kes" directly in front of the marker break the match with the
    // marker's own first byte; the occurrence behind the zero byte counts.
    for (std::string partial : {"K", "Kes"}) {
        std::string payload = AllByteValues(300);
        std::string file = std::string(50, '\0') + partial + MarkerBytes() + "junk" + '\0' + MarkerBytes() + payload;
        ASSERT_TRUE(CopyFrom(file)) << partial;
        EXPECT_TRUE(Cab() == Complemented(payload)) << partial;
        EXPECT_FALSE(CopyFrom(partial + MarkerBytes() + "junk")) << partial;
    }
}

TEST_F(PartialCopyTest, ExistingCabinetIsReplaced) {
    ASSERT_TRUE(WriteBytes(CabPath(), std::string(3 * kBlock, 'x')));
    ASSERT_TRUE(CopyFrom(std::string(8, '\0') + MarkerBytes() + "\x01\x02"));
    EXPECT_EQ(Cab(), "\xFE\xFD");
}

TEST_F(PartialCopyTest, MissingWorkFolderOrOwnFileFails) {
    g_run.workFolder = folder_ / L"missing";
    EXPECT_FALSE(CopyFrom(std::string(8, '\0') + MarkerBytes() + "payload"));
    EXPECT_FALSE(test::Exists(folder_ / L"missing"));

    g_run.workFolder = work_;
    test::PretendStartedAs(folder_ / L"gone.exe", L"");
    EXPECT_FALSE(PartialCopy());
    EXPECT_FALSE(test::Exists(CabPath()));
}

TEST_F(PartialCopyTest, LauncherUnderALongPathNeverReadsACutOffName) {
    // A name of 240 characters puts the launcher beyond 260 characters. A
    // decoy launcher stands at the path cut off after 259 characters, where
    // a fixed 260-character buffer would end.
    std::wstring longPath = folder_ / std::wstring(240, L'n');
    ASSERT_GT(longPath.size(), size_t(MAX_PATH));
    std::wstring cutOff = longPath.substr(0, MAX_PATH - 1);
    ASSERT_TRUE(WriteBytes(L"\\\\?\\" + cutOff, MarkerBytes() + Complemented("decoy")));
    ASSERT_TRUE(WriteBytes(L"\\\\?\\" + longPath, MarkerBytes() + Complemented("real payload")));

    // With the long-path prefix the system opens any length.
    test::PretendStartedAs(L"\\\\?\\" + longPath, L"");
    ASSERT_TRUE(PartialCopy());
    EXPECT_EQ(Cab(), "real payload");

    // Without it the open may fail, but it never opens the decoy.
    test::PretendStartedAs(longPath, L"");
    ::DeleteFileW(CabPath().c_str());
    if (PartialCopy()) {
        EXPECT_EQ(Cab(), "real payload");
    } else {
        EXPECT_NE(Cab(), "decoy");
    }

    // A name that no buffer holds fails; it is not cut off either.
    test::PretendStartedAs(L"\\\\?\\" + (folder_ / std::wstring(40000, L'n')), L"");
    EXPECT_FALSE(PartialCopy());

    ::DeleteFileW((L"\\\\?\\" + longPath).c_str());
    ::DeleteFileW((L"\\\\?\\" + cutOff).c_str());
}

TEST_F(PartialCopyTest, FailedWriteFails) {
    // full-disk\MyData.cab is the Unix device that answers every write with
    // "no space left on device".
    std::wstring fullDisk = test::TestData(L"full-disk");
    HANDLE device = ::CreateFileW((fullDisk + L"\\MyData.cab").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    bool failsWrites = device != INVALID_HANDLE_VALUE && !::WriteFile(device, "x", 1, &written, nullptr);
    if (device != INVALID_HANDLE_VALUE) ::CloseHandle(device);
    if (!failsWrites) GTEST_SKIP() << "no device that fails writes at " << test::Narrow(fullDisk);

    g_run.workFolder = fullDisk;
    EXPECT_FALSE(CopyFrom(std::string(8, '\0') + MarkerBytes() + AllByteValues(3 * kBlock)));
}

// A write that reports success with fewer bytes than it was given.
BOOL WINAPI ShortWrite(HANDLE file, LPCVOID bytes, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) {
    return ::WriteFile(file, bytes, size > 1 ? size - 1 : size, written, overlapped);
}

TEST_F(PartialCopyTest, ShortWriteFails) {
    g_sys.WriteFile = ShortWrite;
    EXPECT_FALSE(CopyFrom(std::string(8, '\0') + MarkerBytes() + AllByteValues(3 * kBlock)));
}

// Reads of the launcher's own file that go wrong after some real reads: an
// error, or an end of file before the size read at the start.
int g_goodReads = 0;
int g_badReads = 0;
bool g_failWithError = true;

BOOL WINAPI ReadFileEndingEarly(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED overlapped) {
    // After many wrong answers it reads for real again, so that a copy loop
    // that ignored them would still end.
    if (g_goodReads-- > 0 || ++g_badReads > 100) return ::ReadFile(file, buffer, size, read, overlapped);
    *read = 0;
    if (!g_failWithError) return TRUE;
    ::SetLastError(ERROR_IO_DEVICE);
    return FALSE;
}

TEST_F(PartialCopyTest, ReadEndingBeforeTheFileSizeFails) {
    std::string file = std::string(8, '\0') + MarkerBytes() + AllByteValues(4 * kBlock);
    for (bool withError : {true, false}) {
        g_goodReads = 2;
        g_badReads = 0;
        g_failWithError = withError;
        g_sys.ReadFile = ReadFileEndingEarly;
        EXPECT_FALSE(CopyFrom(file)) << withError;
        EXPECT_EQ(g_badReads, 1) << "the copy goes on reading after a wrong answer";
    }
}

TEST_F(PartialCopyTest, LargePayloadNeedsNoMoreMemory) {
    // 64 MiB of payload, written and checked in chunks so that the test's own
    // memory stays small too.
    const size_t chunk = 1 << 20;
    const size_t chunks = 64;
    auto payloadChunk = [](size_t index) {
        std::string bytes = AllByteValues(chunk);
        bytes[0] = char(index);
        return bytes;
    };
    HANDLE file = ::CreateFileW(launcher_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    std::string head = std::string(1000, '\0') + MarkerBytes();
    bool ok = ::WriteFile(file, head.data(), DWORD(head.size()), &written, nullptr);
    for (size_t i = 0; ok && i < chunks; ++i) {
        std::string bytes = Complemented(payloadChunk(i));
        ok = ::WriteFile(file, bytes.data(), DWORD(bytes.size()), &written, nullptr) && written == bytes.size();
    }
    ::CloseHandle(file);
    ASSERT_TRUE(ok);

    PROCESS_MEMORY_COUNTERS before = {};
    before.cb = sizeof(before);
    ASSERT_TRUE(::K32GetProcessMemoryInfo(::GetCurrentProcess(), &before, sizeof(before)));
    ASSERT_TRUE(PartialCopy());
    PROCESS_MEMORY_COUNTERS after = {};
    after.cb = sizeof(after);
    ASSERT_TRUE(::K32GetProcessMemoryInfo(::GetCurrentProcess(), &after, sizeof(after)));
    // Holding the payload would raise the peak by 64 MiB.
    if (after.PeakWorkingSetSize != 0) {
        EXPECT_LT(after.PeakWorkingSetSize, before.WorkingSetSize + 16 * chunk);
    }

    file = ::CreateFileW(CabPath().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    LARGE_INTEGER size = {};
    ::GetFileSizeEx(file, &size);
    EXPECT_EQ(size.QuadPart, LONGLONG(chunks * chunk));
    std::string bytes(chunk, '\0');
    DWORD read = 0;
    for (size_t i = 0; i < chunks; ++i) {
        ASSERT_TRUE(::ReadFile(file, &bytes[0], DWORD(chunk), &read, nullptr) && read == chunk);
        ASSERT_TRUE(bytes == payloadChunk(i)) << "chunk " << i;
    }
    ::CloseHandle(file);
}

}  // namespace
}  // namespace kesto
