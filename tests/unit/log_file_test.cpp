// The log file byte for byte: mark, banner, time-prefixed lines, appending,
// and the runs that go on without a log.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "in_process.h"
#include "launcher/run_state.h"
#include "log/log.h"
#include "platform/syscalls.h"
#include "test_support.h"

namespace kesto {
namespace {

SYSTEMTIME g_now;

void WINAPI FakeGetLocalTime(LPSYSTEMTIME now) { *now = g_now; }

HLOCAL WINAPI FailingLocalAlloc(UINT, SIZE_T) {
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

HANDLE WINAPI FailingCreateSemaphoreW(LPSECURITY_ATTRIBUTES, LONG, LONG, LPCWSTR) {
    ::SetLastError(ERROR_PATH_NOT_FOUND);
    return nullptr;
}

DWORD WINAPI TimingOutWait(HANDLE, DWORD) { return WAIT_TIMEOUT; }

void WINAPI NoSleep(DWORD) {}

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

// Neither security attributes nor the log lock are needed for a line to be
// written: each may fail, and the file is the same as with both.
TEST_F(LogFile, LinesAreWrittenWithoutAttributesOrLock) {
    g_sys.LocalAlloc = FailingLocalAlloc;
    g_sys.CreateSemaphoreW = FailingCreateSemaphoreW;
    LogOpen(name_);
    LogMessage(L"return %d.", 1);
    LogClose();
    EXPECT_EQ(test::ReadBytes(name_), kMark + Utf16(Opening(name_) + kPrefix + L"return 1.\r\n"));

    // A semaphore that is never obtained: every wait times out.
    test::ResetForTest();
    g_sys.GetLocalTime = FakeGetLocalTime;
    g_sys.WaitForSingleObject = TimingOutWait;
    g_sys.Sleep = NoSleep;
    std::wstring unlocked = folder_ / L"unlocked-sfxlog.log";
    LogOpen(unlocked);
    LogMessage(L"return %d.", 2);
    LogClose();
    EXPECT_EQ(test::ReadBytes(unlocked), kMark + Utf16(Opening(unlocked) + kPrefix + L"return 2.\r\n"));
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
