// The log lock with real named semaphores: inside one process, and between
// launcher processes started from the same file. For the latter this program
// starts copies of itself, which take the lock as a launcher would.
#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "in_process.h"
#include "launcher/run_state.h"
#include "log/log_lock.h"
#include "platform/syscalls.h"
#include "test_support.h"

namespace kesto {
namespace {

// The last error of every CreateSemaphoreW the lock made.
std::vector<DWORD> g_createErrors;

HANDLE WINAPI RecordingCreateSemaphoreW(LPSECURITY_ATTRIBUTES attributes, LONG initial, LONG maximum, LPCWSTR name) {
    HANDLE semaphore = ::CreateSemaphoreW(attributes, initial, maximum, name);
    g_createErrors.push_back(semaphore == nullptr ? ~0u : ::GetLastError());
    return semaphore;
}

// Waits for no time at all, so that a lock that is not free gives up fast.
int g_waits = 0;
DWORD WINAPI ImpatientWait(HANDLE handle, DWORD) {
    ++g_waits;
    return ::WaitForSingleObject(handle, 0);
}

bool SemaphoreExists(const std::wstring& name) {
    HANDLE semaphore = ::OpenSemaphoreW(SYNCHRONIZE, FALSE, name.c_str());
    if (semaphore == nullptr) return false;
    ::CloseHandle(semaphore);
    return true;
}

TEST(LogLockSemaphore, LaunchersAtOnePathShareOneSemaphoreAndOthersDoNot) {
    test::OverrideScope overrides;
    test::ScratchFolder folder(L"lock");
    std::wstring launcher = folder / L"update.exe";
    std::wstring name = LogLockName(launcher);
    g_createErrors.clear();
    g_waits = 0;
    g_sys.CreateSemaphoreW = RecordingCreateSemaphoreW;
    test::PretendStartedAs(launcher, L"");
    {
        CLogOutPxCollision first;
        EXPECT_EQ(first.Lock(), 1);
        EXPECT_TRUE(SemaphoreExists(name));

        // Another launcher at the same path opens the same semaphore and does
        // not get it while the first holds it; with its run's budget spent
        // it looks once. What it did not take it does not give back, so a
        // third does not get it either.
        g_sys.WaitForSingleObject = ImpatientWait;
        g_run.logLockWaitLeftMs = 0;
        for (int other = 0; other < 2; ++other) {
            CLogOutPxCollision second;
            EXPECT_EQ(second.Lock(), 0);
            EXPECT_NE(second.Handle(), nullptr);
        }
        EXPECT_EQ(g_waits, 2);
        g_run = RunState();
        // A launcher elsewhere has a lock of its own, free at once.
        test::PretendStartedAs(folder / L"other.exe", L"");
        CLogOutPxCollision elsewhere;
        EXPECT_EQ(elsewhere.Lock(), 1);
    }
    EXPECT_EQ(g_createErrors, (std::vector<DWORD>{ERROR_SUCCESS, ERROR_ALREADY_EXISTS, ERROR_ALREADY_EXISTS,
                                                  ERROR_SUCCESS}));
    // Nobody holds a handle any more: the semaphore is gone.
    EXPECT_FALSE(SemaphoreExists(name));
}

void Append(HANDLE file, const std::string& text) {
    DWORD written = 0;
    ::WriteFile(file, text.data(), DWORD(text.size()), &written, nullptr);
}

// Exit code: 0, or the sum of the faults met.
enum ChildFault { kLockNotTaken = 1, kSemaphoreWasNew = 2, kNoFile = 4 };

// The children are this program in the role "lock": LAUNCHER FILE ROUNDS
// takes the lock of a launcher at LAUNCHER ROUNDS times and, holding it,
// appends a begin line, pauses, and appends an end line to FILE.
DWORD LockRounds(const std::vector<std::wstring>& arguments) {
    if (arguments.size() != 3) return kNoFile;
    const std::wstring& launcher = arguments[0];
    const std::wstring& fileName = arguments[1];
    int rounds = _wtoi(arguments[2].c_str());
    if (!LoadSystemCalls()) return kNoFile;
    test::PretendStartedAs(launcher, L"");
    g_sys.CreateSemaphoreW = RecordingCreateSemaphoreW;
    // Starting the other child may take long under load; a launcher's 3 s
    // would then run out, and this test is about taking turns.
    g_run.logLockWaitLeftMs = 600000;
    HANDLE file = ::CreateFileW(fileName.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return kNoFile;
    int faults = 0;
    std::string id = std::to_string(::GetCurrentProcessId());
    for (int round = 0; round < rounds; ++round) {
        CLogOutPxCollision lock;
        if (lock.Lock() != 1) faults |= kLockNotTaken;
        Append(file, "begin " + id + "\n");
        ::Sleep(2);
        Append(file, "end " + id + "\n");
    }
    ::CloseHandle(file);
    for (DWORD error : g_createErrors) {
        if (error != ERROR_ALREADY_EXISTS) faults |= kSemaphoreWasNew;
    }
    return faults;
}
const test::ChildRole kLockRole(L"lock", LockRounds);

TEST(LogLockBetweenProcesses, TwoLaunchersAtOnePathNeverWriteAtOnce) {
    const int kRounds = 25;
    test::ScratchFolder folder(L"lock");
    // Only the launcher's path counts; no file needs to be there.
    std::wstring launcher = folder / L"pkg.v1\\update.exe";
    std::wstring shared = folder / L"writes.txt";
    ASSERT_TRUE(test::WriteBytes(shared, ""));

    // The test holds the semaphore while the children start, so that both
    // meet an existing one and want it at about the same time.
    HANDLE semaphore = ::CreateSemaphoreW(nullptr, 0, 1, LogLockName(launcher).c_str());
    ASSERT_NE(semaphore, nullptr);
    test::Child child;
    child.commandLine = kLockRole.CommandLine({launcher, shared, std::to_wstring(kRounds)});
    test::ChildProcess first(child), second(child);
    HANDLE children[2] = {first.handle(), second.handle()};
    ASSERT_NE(children[0], nullptr);
    ASSERT_NE(children[1], nullptr);
    ::ReleaseSemaphore(semaphore, 1, nullptr);

    EXPECT_EQ(::WaitForMultipleObjects(2, children, TRUE, 120000), WAIT_OBJECT_0);
    for (const test::ChildProcess* process : {&first, &second}) EXPECT_EQ(process->ExitCode(), 0u);
    ::CloseHandle(semaphore);

    // Every begin is followed by the end of the same child.
    std::string text = test::ReadBytes(shared);
    std::vector<std::string> lines;
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    ASSERT_EQ(lines.size(), size_t(4 * kRounds));
    std::map<std::string, int> rounds;
    for (size_t i = 0; i + 1 < lines.size(); i += 2) {
        ASSERT_EQ(lines[i].compare(0, 6, "begin "), 0) << "line " << i << ": " << lines[i];
        std::string id = lines[i].substr(6);
        ASSERT_EQ(lines[i + 1], "end " + id) << "line " << i + 1;
        ++rounds[id];
    }
    EXPECT_EQ(rounds.size(), 2u);
    for (const auto& entry : rounds) EXPECT_EQ(entry.second, kRounds) << entry.first;
}

}  // namespace
}  // namespace kesto
