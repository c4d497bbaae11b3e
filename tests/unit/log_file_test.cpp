// The log file byte for byte: mark, banner, time-prefixed lines, appending,
// and the runs that go on without a log.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "in_process.h"
#include "launcher/run_state.h"
#include "log/log.h"
#include "platform/syscalls.h"
#include "test_support.h"

namespace kesto {
namespace {

SYSTEMTIME g_now;

void WINAPI FakeGetLocalTime(LPSYSTEMTIME now) { *now = g_now; }

// Fails the SID blocks of the log lock's security attributes, and nothing else.
HLOCAL WINAPI FailingSidBlockAlloc(UINT flags, SIZE_T size) {
    if (size != SECURITY_MAX_SID_SIZE) return ::LocalAlloc(flags, size);
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

HANDLE WINAPI FailingCreateSemaphoreW(LPSECURITY_ATTRIBUTES, LONG, LONG, LPCWSTR) {
    ::SetLastError(ERROR_PATH_NOT_FOUND);
    return nullptr;
}

// A wait that times out moves a clock of its own on by its time.
DWORD g_clock = 0;
DWORD WINAPI TimingOutWait(HANDLE, DWORD timeoutMs) {
    g_clock += timeoutMs;
    return WAIT_TIMEOUT;
}
DWORD WINAPI Clock() { return g_clock; }

void SetTime(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second) {
    g_now = SYSTEMTIME{};
    g_now.wYear = year;
    g_now.wMonth = month;
    g_now.wDay = day;
    g_now.wDayOfWeek = 4;
    g_now.wHour = hour;
    g_now.wMinute = minute;
    g_now.wSecond = second;
    g_now.wMilliseconds = 765;
}

// UTF-16LE bytes of a text, as the log holds it.
std::string Utf16(const std::wstring& text) {
    std::string bytes;
    for (wchar_t c : text) {
        bytes += char(c & 0xFF);
        bytes += char((c >> 8) & 0xFF);
    }
    return bytes;
}

const std::string kMark("\xFF\xFE", 2);
const std::wstring kBanner = L"********** Kesto - 2026/03/05 - 14:07:09 **********\r\n";
const std::wstring kPrefix = L"2026/03/05 14:07:09 - ";

class LogFile : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(g_run.log, INVALID_HANDLE_VALUE);
        g_sys.GetLocalTime = FakeGetLocalTime;
        SetTime(2026, 3, 5, 14, 7, 9);
    }
    void TearDown() override { LogClose(); }

    // What one opening of a log named name writes after any mark.
    static std::wstring Opening(const std::wstring& name) {
        return kBanner + kPrefix + L"LOG mode (" + name + L").\r\n";
    }

    test::OverrideScope overrides_;
    test::ScratchFolder folder_{L"log"};
    std::wstring name_ = folder_ / L"upd-sfxlog.log";
};

TEST_F(LogFile, NewFileHoldsMarkBannerAndLinesByteForByte) {
    LogOpen(name_);
    ASSERT_NE(g_run.log, INVALID_HANDLE_VALUE);
    SetTime(2026, 3, 5, 14, 7, 10);
    LogMessage(L"TempFolder: %s.", L"C:\\Users\\u\\AppData\\Local\\Temp\\QzEXF0000");
    // The time is read for every line; the year has at least four digits.
    SetTime(987, 12, 31, 23, 59, 58);
    LogMessage(L"return %d.", 141950978);
    LogClose();
    EXPECT_EQ(g_run.log, INVALID_HANDLE_VALUE);

    EXPECT_EQ(test::ReadBytes(name_),
              kMark + Utf16(L"********** Kesto - 2026/03/05 - 14:07:09 **********\r\n"
                            L"2026/03/05 14:07:09 - LOG mode (" + name_ + L").\r\n"
                            L"2026/03/05 14:07:10 - TempFolder: C:\\Users\\u\\AppData\\Local\\Temp\\QzEXF0000.\r\n"
                            L"0987/12/31 23:59:58 - return 141950978.\r\n"));
}

TEST_F(LogFile, TextsAreWrittenAsTheyStand) {
    LogOpen(name_);
    LogMessage(L"%s", L"");  // formats to nothing: the format itself is written
    LogMessage(L"");         // a line with the prefix only
    LogMessage(L"two\r\nlines %s", L"\u00e9\u4e2d\U0001F600");
    std::wstring longPath = L"C:\\" + std::wstring(4990, L'p') + L"\\QzEXF0001";
    LogMessage(L"TempFolder: %s.", longPath.c_str());
    LogClose();

    EXPECT_EQ(test::ReadBytes(name_), kMark + Utf16(Opening(name_) + kPrefix + L"%s\r\n" + kPrefix + L"\r\n" +
                                                    kPrefix + L"two\r\nlines \u00e9\u4e2d\U0001F600\r\n" + kPrefix +
                                                    L"TempFolder: " + longPath + L".\r\n"));
}

TEST_F(LogFile, ReopeningAppendsWithoutASecondMark) {
    LogOpen(name_);
    LogMessage(L"return %d.", 0);
    LogClose();
    std::string firstRun = test::ReadBytes(name_);

    SetTime(2026, 3, 6, 8, 0, 1);
    LogOpen(name_);
    LogClose();
    EXPECT_EQ(test::ReadBytes(name_), firstRun + Utf16(L"********** Kesto - 2026/03/06 - 08:00:01 **********\r\n"
                                                       L"2026/03/06 08:00:01 - LOG mode (" + name_ + L").\r\n"));
}

TEST_F(LogFile, OnlyAnEmptyFileGetsTheMark) {
    // A previous last line without its line end: the banner follows it directly.
    std::string previous = kMark + Utf16(L"2026/03/04 10:00:00 - return 0.");
    ASSERT_TRUE(test::WriteBytes(name_, previous));
    LogOpen(name_);
    LogClose();
    EXPECT_EQ(test::ReadBytes(name_), previous + Utf16(Opening(name_)));

    // Content of another kind is no reason for a mark either.
    std::wstring other = folder_ / L"other-sfxlog.log";
    ASSERT_TRUE(test::WriteBytes(other, "ab"));
    LogOpen(other);
    LogClose();
    EXPECT_EQ(test::ReadBytes(other), "ab" + Utf16(Opening(other)));

    std::wstring empty = folder_ / L"empty-sfxlog.log";
    ASSERT_TRUE(test::WriteBytes(empty, ""));
    LogOpen(empty);
    LogClose();
    EXPECT_EQ(test::ReadBytes(empty), kMark + Utf16(Opening(empty)));
}

TEST_F(LogFile, FileOfFourGiBIsNotTakenForAnEmptyOne) {
    // A sparse file: its size is 2^32, whose low 32 bits are 0.
    HANDLE file = ::CreateFileW(name_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    LARGE_INTEGER fourGiB;
    fourGiB.QuadPart = LONGLONG(1) << 32;
    bool sized = ::SetFilePointerEx(file, fourGiB, nullptr, FILE_BEGIN) && ::SetEndOfFile(file);
    ::CloseHandle(file);
    ASSERT_TRUE(sized);

    LogOpen(name_);
    LogClose();

    file = ::CreateFileW(name_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    char tail[4096];
    DWORD read = 0;
    ASSERT_TRUE(::SetFilePointerEx(file, fourGiB, nullptr, FILE_BEGIN));
    ASSERT_TRUE(::ReadFile(file, tail, sizeof(tail), &read, nullptr));
    ::CloseHandle(file);
    EXPECT_EQ(std::string(tail, read), Utf16(Opening(name_)));
}

TEST_F(LogFile, MessagesWhileNoLogIsOpenWriteNothing) {
    // Before the opening the values are not even looked at: formatting this
    // one would read through an invalid pointer.
    LogMessage(L"%s", reinterpret_cast<const wchar_t*>(uintptr_t(1)));
    LogLine(L"no log yet");

    LogOpen(name_);
    LogClose();
    std::string closed = test::ReadBytes(name_);
    EXPECT_EQ(closed, kMark + Utf16(Opening(name_)));

    LogMessage(L"return %d.", 5);
    LogLine(L"after the end");
    LogClose();  // a second closing changes nothing
    EXPECT_EQ(g_run.log, INVALID_HANDLE_VALUE);
    EXPECT_EQ(test::ReadBytes(name_), closed);
}

// Neither the lock's security attributes nor the log lock are needed for a
// line to be written: each may fail, and the file is the same as with both.
TEST_F(LogFile, LinesAreWrittenWithoutAttributesOrLock) {
    g_sys.LocalAlloc = FailingSidBlockAlloc;
    g_sys.CreateSemaphoreW = FailingCreateSemaphoreW;
    LogOpen(name_);
    LogMessage(L"return %d.", 1);
    LogClose();
    EXPECT_EQ(test::ReadBytes(name_), kMark + Utf16(Opening(name_) + kPrefix + L"return 1.\r\n"));

    // A semaphore that is never obtained: every wait times out.
    test::ResetForTest();
    g_sys.GetLocalTime = FakeGetLocalTime;
    g_sys.WaitForSingleObject = TimingOutWait;
    g_sys.GetTickCount = Clock;
    g_run = RunState();
    std::wstring unlocked = folder_ / L"unlocked-sfxlog.log";
    LogOpen(unlocked);
    LogMessage(L"return %d.", 2);
    LogClose();
    EXPECT_EQ(test::ReadBytes(unlocked), kMark + Utf16(Opening(unlocked) + kPrefix + L"return 2.\r\n"));
}

// ---------------------------------------------------------------------------
// Who may read a log, and which file that was there before is appended to

std::vector<BYTE> g_handedDescriptor;  // a copy of what the last creation was handed
DWORD g_handedFlags = 0;

HANDLE WINAPI RecordingCreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes,
                                   DWORD disposition, DWORD flags, HANDLE model) {
    g_handedDescriptor.clear();
    g_handedFlags = flags;
    if (attributes != nullptr && attributes->lpSecurityDescriptor != nullptr) {
        DWORD size = 0;
        ::MakeSelfRelativeSD(attributes->lpSecurityDescriptor, nullptr, &size);
        g_handedDescriptor.resize(size);
        ::MakeSelfRelativeSD(attributes->lpSecurityDescriptor, g_handedDescriptor.data(), &size);
    }
    return ::CreateFileW(name, access, share, attributes, disposition, flags, model);
}

BOOL WINAPI NoTokenUser(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD needed) {
    *needed = 0;
    ::SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

// What the faked calls report of a file that was there before.
DWORD g_links = 1;
DWORD g_extraAttributes = 0;
std::vector<BYTE> g_owner;  // empty: the owner cannot be read

BOOL WINAPI FakeFileInformation(HANDLE file, LPBY_HANDLE_FILE_INFORMATION information) {
    if (!::GetFileInformationByHandle(file, information)) return FALSE;
    information->nNumberOfLinks = g_links;
    information->dwFileAttributes |= g_extraAttributes;
    return TRUE;
}

DWORD WINAPI FakeOwner(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID* owner, PSID*, PACL*, PACL*,
                       PSECURITY_DESCRIPTOR* descriptor) {
    if (g_owner.empty()) return ERROR_ACCESS_DENIED;
    void* block = ::LocalAlloc(LMEM_FIXED, g_owner.size());
    std::copy(g_owner.begin(), g_owner.end(), static_cast<BYTE*>(block));
    *owner = block;
    *descriptor = block;
    return ERROR_SUCCESS;
}

TEST_F(LogFile, NewLogIsPrivateAndNoneIsMadeWithoutItsAccessList) {
    g_sys.CreateFileW = RecordingCreateFileW;
    LogOpen(name_);
    ASSERT_NE(g_run.log, INVALID_HANDLE_VALUE);
    LogClose();
    std::vector<BYTE> user = test::OwnUser(), system = test::WellKnownSid(WinLocalSystemSid),
                      administrators = test::WellKnownSid(WinBuiltinAdministratorsSid);
    test::ExpectPrivateList(reinterpret_cast<SECURITY_DESCRIPTOR*>(g_handedDescriptor.data()),
                            {system.data(), administrators.data(), reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid},
                            0);
    EXPECT_EQ(g_handedFlags & FILE_FLAG_OPEN_REPARSE_POINT, DWORD(FILE_FLAG_OPEN_REPARSE_POINT)) << "a link is followed";

    // Without its own access list (the token's user cannot be read) the run
    // has no log: no file with another list is made.
    g_sys.GetTokenInformation = NoTokenUser;
    std::wstring other = folder_ / L"other-sfxlog.log";
    LogOpen(other);
    EXPECT_EQ(g_run.log, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(test::Exists(other));
}

TEST_F(LogFile, FileThatWasThereIsAppendedToOnlyWhenATrusteeOwnsItAndItHasOneName) {
    const std::string previous = kMark + Utf16(L"2026/03/04 10:00:00 - return 0.\r\n");
    g_sys.GetFileInformationByHandle = FakeFileInformation;
    g_sys.GetSecurityInfo = FakeOwner;
    struct Case {
        const char* what;
        DWORD links, attributes;
        std::vector<BYTE> owner;
        bool appended;
    };
    const Case cases[] = {
        {"owned by the local system account", 1, 0, test::WellKnownSid(WinLocalSystemSid), true},
        {"owned by the Administrators", 1, 0, test::WellKnownSid(WinBuiltinAdministratorsSid), true},
        {"owned by the Users", 1, 0, test::WellKnownSid(WinBuiltinUsersSid), false},
        {"owned by everyone", 1, 0, test::WellKnownSid(WinWorldSid), false},
        {"owner unreadable", 1, 0, {}, false},
        {"a second name (hard link)", 2, 0, test::WellKnownSid(WinLocalSystemSid), false},
        {"a link (reparse point)", 1, FILE_ATTRIBUTE_REPARSE_POINT, test::WellKnownSid(WinLocalSystemSid), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(test::WriteBytes(name_, previous));
        g_links = c.links;
        g_extraAttributes = c.attributes;
        g_owner = c.owner;
        LogOpen(name_);
        EXPECT_EQ(g_run.log != INVALID_HANDLE_VALUE, c.appended);
        LogMessage(L"return %d.", 3);
        LogClose();
        EXPECT_EQ(test::ReadBytes(name_), c.appended ? previous + Utf16(Opening(name_) + kPrefix + L"return 3.\r\n")
                                                     : previous);
    }
}

int g_creations = 0;
HANDLE WINAPI CountingCreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes,
                                  DWORD disposition, DWORD flags, HANDLE model) {
    ++g_creations;
    return ::CreateFileW(name, access, share, attributes, disposition, flags, model);
}

DWORD WINAPI PipeType(HANDLE) { return FILE_TYPE_PIPE; }

TEST_F(LogFile, OnlyPathsOnADiskAreOpened) {
    g_sys.CreateFileW = CountingCreateFileW;
    // Pipes, mailslots and devices are refused before anything is opened.
    for (const wchar_t* name : {L"\\\\.\\pipe\\kesto-log", L"\\\\localhost\\PIPE\\kesto-log",
                                L"\\\\?\\UNC\\localhost\\pipe\\kesto-log", L"\\\\.\\mailslot\\kesto-log",
                                L"\\\\server\\mailslot\\kesto-log", L"\\\\?\\GLOBALROOT\\Device\\Null\\x",
                                L"\\\\.\\C:\\x"}) {
        SCOPED_TRACE(test::Narrow(name));
        g_creations = 0;
        LogOpen(name);
        EXPECT_EQ(g_run.log, INVALID_HANDLE_VALUE);
        EXPECT_EQ(g_creations, 0);
    }
    // A disk path that leads to something else all the same is let go.
    g_sys.GetFileType = PipeType;
    LogOpen(name_);
    EXPECT_EQ(g_run.log, INVALID_HANDLE_VALUE);
    g_sys.GetFileType = ::GetFileType;
    ASSERT_TRUE(::DeleteFileW(name_.c_str()));
    // A drive path behind the "\\?\" prefix is one.
    LogOpen(L"\\\\?\\" + name_);
    EXPECT_NE(g_run.log, INVALID_HANDLE_VALUE);
    LogClose();
    EXPECT_EQ(test::ReadBytes(name_), kMark + Utf16(Opening(L"\\\\?\\" + name_)));
}

class LogOpenFailure : public LogFile {};

TEST_F(LogOpenFailure, MissingFolderLeavesTheRunWithoutALog) {
    std::wstring missing = folder_ / L"missing";
    LogOpen(missing + L"\\upd-sfxlog.log");
    EXPECT_EQ(g_run.log, INVALID_HANDLE_VALUE);
    LogMessage(L"TempFolder: %s.", L"C:\\x");
    LogClose();
    EXPECT_FALSE(test::Exists(missing));
    EXPECT_TRUE(test::ListFolder(folder_.path()).empty());
}

TEST_F(LogOpenFailure, SecondLauncherOnTheSameLogRunsWithoutOne) {
    LogOpen(name_);
    HANDLE first = g_run.log;
    ASSERT_NE(first, INVALID_HANDLE_VALUE);

    // What a second launcher naming the same file meets: the file is held
    // open without sharing.
    g_run.log = INVALID_HANDLE_VALUE;
    LogOpen(name_);
    EXPECT_EQ(g_run.log, INVALID_HANDLE_VALUE);
    LogMessage(L"return %d.", 2);
    LogClose();

    g_run.log = first;
    LogMessage(L"return %d.", 1);
    LogClose();
    EXPECT_EQ(test::ReadBytes(name_), kMark + Utf16(Opening(name_) + kPrefix + L"return 1.\r\n"));
}

}  // namespace
}  // namespace kesto
