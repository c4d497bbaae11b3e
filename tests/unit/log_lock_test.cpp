// The log lock: its security attributes, the semaphore name, and the bounds
// of taking it, with the semaphore calls, waits and sleeps recorded.
#include <gtest/gtest.h>

#include <climits>
#include <map>
#include <string>
#include <vector>

#include "in_process.h"
#include "launcher/run_state.h"
#include "log/log_lock.h"
#include "platform/syscalls.h"

namespace kesto {
namespace {

const wchar_t kSuffix[] = L"-4DA00EA1-D771-430E-B79B-EC4D6915B3A7";

// ---------------------------------------------------------------------------
// Allocations of the security attributes, and their release.

struct Allocations {
    int calls = 0;
    int failAt = 0;                   // this call returns null; 0: none does
    std::vector<UINT> flags;
    std::map<void*, SIZE_T> live;     // handed out and not freed yet
    int freed = 0;
    int freedFilled = 0;              // freed blocks that held more than zeros
};
Allocations g_allocations;

HLOCAL WINAPI CountingLocalAlloc(UINT flags, SIZE_T bytes) {
    ++g_allocations.calls;
    g_allocations.flags.push_back(flags);
    if (g_allocations.calls == g_allocations.failAt) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    HLOCAL block = ::LocalAlloc(flags, bytes);
    g_allocations.live[block] = bytes;
    return block;
}

HLOCAL WINAPI CountingLocalFree(HLOCAL block) {
    auto found = g_allocations.live.find(block);
    if (found != g_allocations.live.end()) {
        const BYTE* bytes = static_cast<const BYTE*>(block);
        bool filled = false;
        for (SIZE_T i = 0; i < found->second; ++i) filled = filled || bytes[i] != 0;
        ++g_allocations.freed;
        if (filled) ++g_allocations.freedFilled;
        g_allocations.live.erase(found);
    }
    return ::LocalFree(block);
}

class LogLockSecurity : public ::testing::Test {
protected:
    void SetUp() override {
        g_allocations = Allocations();
        g_sys.LocalAlloc = CountingLocalAlloc;
        g_sys.LocalFree = CountingLocalFree;
    }
    test::OverrideScope overrides_;
};

std::vector<BYTE> WellKnownSid(WELL_KNOWN_SID_TYPE type) {
    std::vector<BYTE> sid(SECURITY_MAX_SID_SIZE);
    DWORD size = DWORD(sid.size());
    EXPECT_TRUE(::CreateWellKnownSid(type, nullptr, sid.data(), &size));
    sid.resize(size);
    return sid;
}

// Three allow entries for the local system, the Administrators and the Users,
// in that order, each inherited by objects and containers, with read, write,
// execute and delete.
void ExpectLogAccessList(const ACL* acl) {
    ASSERT_NE(acl, nullptr);
    std::vector<BYTE> system = WellKnownSid(WinLocalSystemSid);
    std::vector<BYTE> administrators = WellKnownSid(WinBuiltinAdministratorsSid);
    std::vector<BYTE> users = WellKnownSid(WinBuiltinUsersSid);
    EXPECT_EQ(acl->AclRevision, ACL_REVISION);
    EXPECT_EQ(acl->AceCount, 3);
    EXPECT_EQ(acl->AclSize, system.size() + administrators.size() + users.size() + 32);
    const std::vector<BYTE>* trustees[] = {&system, &administrators, &users};
    for (DWORD i = 0; i < 3 && i < acl->AceCount; ++i) {
        void* ace = nullptr;
        ASSERT_TRUE(::GetAce(const_cast<ACL*>(acl), i, &ace));
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        EXPECT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE) << i;
        EXPECT_EQ(allowed->Header.AceFlags, 3) << i;
        EXPECT_EQ(allowed->Mask, 0xE0010000u) << i;
        EXPECT_TRUE(::EqualSid(&allowed->SidStart, const_cast<BYTE*>(trustees[i]->data()))) << i;
    }
}

TEST_F(LogLockSecurity, BuildMakesThreeAllowEntriesAndFreesItsBlocks) {
    {
        CLogOutPxSA security;
        EXPECT_FALSE(security.Valid());
        EXPECT_EQ(security.AttributesOrNull(), nullptr);
        security.Build();
        ASSERT_TRUE(security.Valid());

        SECURITY_ATTRIBUTES* attributes = security.AttributesOrNull();
        ASSERT_NE(attributes, nullptr);
        EXPECT_EQ(attributes->nLength, sizeof(SECURITY_ATTRIBUTES));
        EXPECT_FALSE(attributes->bInheritHandle);
        BOOL present = FALSE;
        BOOL defaulted = TRUE;
        ACL* dacl = nullptr;
        ASSERT_TRUE(::GetSecurityDescriptorDacl(attributes->lpSecurityDescriptor, &present, &dacl, &defaulted));
        EXPECT_TRUE(present);
        EXPECT_FALSE(defaulted);
        EXPECT_EQ(dacl, security.Acl());
        ExpectLogAccessList(dacl);

        EXPECT_EQ(g_allocations.calls, 4);
        for (UINT flags : g_allocations.flags) EXPECT_EQ(flags, UINT(LMEM_ZEROINIT));
    }
    EXPECT_TRUE(g_allocations.live.empty());
    EXPECT_EQ(g_allocations.freed, 4);
}

TEST_F(LogLockSecurity, FailedAllocationLeavesAttributesInvalidAndLeaksNothing) {
    for (int failAt = 1; failAt <= 4; ++failAt) {
        SCOPED_TRACE(failAt);
        g_allocations = Allocations();
        g_allocations.failAt = failAt;
        int handedOut = 0;
        {
            CLogOutPxSA security;
            security.Build();
            EXPECT_FALSE(security.Valid());
            EXPECT_EQ(security.AttributesOrNull(), nullptr);
            handedOut = int(g_allocations.live.size());
        }
        EXPECT_TRUE(g_allocations.live.empty());
        EXPECT_EQ(g_allocations.freed, handedOut);
        if (failAt <= 3) {
            // No SID was made and no access list asked for.
            EXPECT_LE(g_allocations.calls, 3);
            EXPECT_EQ(g_allocations.freedFilled, 0);
        } else {
            EXPECT_EQ(g_allocations.calls, 4);
            EXPECT_EQ(g_allocations.freedFilled, 3);
        }
    }
}

// ---------------------------------------------------------------------------
// The semaphore name.

TEST(LogLockName, ExtensionCutAtTheLastDotOfTheWholePath) {
    EXPECT_EQ(LogLockName(L"C:\\Pkg\\update.exe"), L"C:/Pkg/update.LOG-4DA00EA1-D771-430E-B79B-EC4D6915B3A7");
    EXPECT_EQ(LogLockName(L"C:\\Pkg\\update.tar.exe"), std::wstring(L"C:/Pkg/update.tar.LOG") + kSuffix);
    // No dot anywhere: nothing is cut.
    EXPECT_EQ(LogLockName(L"C:\\Pkg\\update"), std::wstring(L"C:/Pkg/update.LOG") + kSuffix);
    // No dot in the file name: the cut falls on the folder's dot.
    EXPECT_EQ(LogLockName(L"C:\\Pkg.v2\\sub\\update"), std::wstring(L"C:/Pkg.LOG") + kSuffix);
    EXPECT_EQ(LogLockName(L"\\\\server\\share\\setup.exe"), std::wstring(L"//server/share/setup.LOG") + kSuffix);
}

// ---------------------------------------------------------------------------
// Taking the lock, with the semaphore calls, waits, sleeps and the clock
// scripted: a time-out and a sleep move the clock on by their time.

struct LockScript {
    int deniedAttempts = 0;  // creations refused with access denied first
    DWORD createError = 0;   // then: 0 succeeds, else fails with this error
    int timeouts = 0;        // waits that time out before the last one
    DWORD lastWait = WAIT_OBJECT_0;
};

struct LockCalls {
    LockScript script;
    HANDLE semaphore = nullptr;      // the real one behind every handle handed out
    HANDLE handedOut = nullptr;
    int attempts = 0;
    int waits = 0;
    DWORD clock = 0xFFFFFE00;        // the budget runs across a wrap of the tick count
    std::vector<std::string> events; // "create", "wait 300", "sleep 500", ...
    std::vector<std::wstring> names;
    std::vector<std::string> attributes;  // what each creation was given
    LONG initialCount = -1;
    LONG maximumCount = -1;
    bool waitedOnOtherHandle = false;
};
LockCalls g_lock;

// "none", or the length of the attributes and the entries of their access list.
std::string DescribeAttributes(const SECURITY_ATTRIBUTES* attributes) {
    if (attributes == nullptr) return "none";
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    ACL* dacl = nullptr;
    ::GetSecurityDescriptorDacl(attributes->lpSecurityDescriptor, &present, &dacl, &defaulted);
    std::string description = std::to_string(attributes->nLength) + " bytes";
    if (present && dacl != nullptr) description += ", " + std::to_string(dacl->AceCount) + " entries";
    return description;
}

HANDLE WINAPI ScriptedCreateSemaphoreW(LPSECURITY_ATTRIBUTES attributes, LONG initial, LONG maximum, LPCWSTR name) {
    g_lock.events.push_back("create");
    g_lock.names.push_back(name);
    g_lock.attributes.push_back(DescribeAttributes(attributes));
    g_lock.initialCount = initial;
    g_lock.maximumCount = maximum;
    if (g_lock.attempts++ < g_lock.script.deniedAttempts) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    if (g_lock.script.createError != 0) {
        ::SetLastError(g_lock.script.createError);
        return nullptr;
    }
    ::DuplicateHandle(::GetCurrentProcess(), g_lock.semaphore, ::GetCurrentProcess(), &g_lock.handedOut, 0, FALSE,
                      DUPLICATE_SAME_ACCESS);
    ::SetLastError(ERROR_ALREADY_EXISTS);
    return g_lock.handedOut;
}

DWORD WINAPI ScriptedWait(HANDLE handle, DWORD timeoutMs) {
    g_lock.events.push_back("wait " + std::to_string(timeoutMs));
    if (handle != g_lock.handedOut) g_lock.waitedOnOtherHandle = true;
    if (g_lock.waits++ < g_lock.script.timeouts) {
        g_lock.clock += timeoutMs;
        return WAIT_TIMEOUT;
    }
    if (g_lock.script.lastWait == WAIT_FAILED) ::SetLastError(ERROR_INVALID_HANDLE);
    return g_lock.script.lastWait;
}

void WINAPI RecordedSleep(DWORD ms) {
    g_lock.events.push_back("sleep " + std::to_string(ms));
    g_lock.clock += ms;
}

DWORD WINAPI ScriptedClock() { return g_lock.clock; }

std::vector<std::string> Repeat(const std::vector<std::string>& events, int times) {
    std::vector<std::string> all;
    for (int i = 0; i < times; ++i) all.insert(all.end(), events.begin(), events.end());
    return all;
}

std::vector<std::string> operator+(std::vector<std::string> first, const std::vector<std::string>& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

class LogLockCollision : public ::testing::Test {
protected:
    void SetUp() override {
        g_lock = LockCalls();
        g_run = RunState();  // a whole budget, as at the start of a run
        // The semaphore behind the scripted handles, held by someone else.
        g_lock.semaphore = ::CreateSemaphoreW(nullptr, 0, 1, nullptr);
        ASSERT_NE(g_lock.semaphore, nullptr);
        test::PretendStartedAs(L"C:\\Pkg\\update.exe", L"");
        g_sys.CreateSemaphoreW = ScriptedCreateSemaphoreW;
        g_sys.WaitForSingleObject = ScriptedWait;
        g_sys.Sleep = RecordedSleep;
        g_sys.GetTickCount = ScriptedClock;
    }
    void TearDown() override { ::CloseHandle(g_lock.semaphore); }

    // Runs one Lock to its end and destroys the lock; the handle it held, if any.
    BOOL LockOnce(HANDLE* held) {
        g_lock.events.clear();
        g_lock.attempts = 0;
        g_lock.waits = 0;
        CLogOutPxCollision lock;
        BOOL result = lock.Lock();
        *held = lock.Handle();
        return result;
    }

    // Whether the destructor gave the semaphore back: its count went to 1.
    static bool GivenBack() { return ::WaitForSingleObject(g_lock.semaphore, 0) == WAIT_OBJECT_0; }
    static bool Closed(HANDLE handle) {
        DWORD flags = 0;
        return !::GetHandleInformation(handle, &flags);
    }

    test::OverrideScope overrides_;
};

// The run's budget, 3 s, in waits of 300 ms and sleeps of 500 ms.
constexpr int kBudgetWaits = 10;
constexpr int kBudgetSleeps = 6;

TEST_F(LogLockCollision, TakenAtOnceCreatesOnceWaitsOnceAndGivesBack) {
    HANDLE held = nullptr;
    EXPECT_EQ(LockOnce(&held), 1);
    EXPECT_EQ(g_lock.events, (std::vector<std::string>{"create", "wait 300"}));
    EXPECT_EQ(held, g_lock.handedOut);
    EXPECT_FALSE(g_lock.waitedOnOtherHandle);
    ASSERT_EQ(g_lock.names.size(), 1u);
    EXPECT_EQ(g_lock.names[0], std::wstring(L"C:/Pkg/update.LOG") + kSuffix);
    EXPECT_EQ(g_lock.initialCount, 1);
    EXPECT_EQ(g_lock.maximumCount, 1);
    EXPECT_TRUE(GivenBack());
    EXPECT_TRUE(Closed(held));
    EXPECT_EQ(g_run.logLockWaitLeftMs, kLogLockRunBudgetMs);
}

TEST_F(LogLockCollision, AccessDeniedIsRetriedWhileTheRunsBudgetLasts) {
    g_lock.script.deniedAttempts = INT_MAX;
    HANDLE held = reinterpret_cast<HANDLE>(1);
    EXPECT_EQ(LockOnce(&held), 0);
    EXPECT_EQ(held, nullptr);
    EXPECT_EQ(g_lock.events, Repeat({"create", "sleep 500"}, kBudgetSleeps) + std::vector<std::string>{"create"});
    // The budget is spent: later lines try once and do not sleep.
    EXPECT_EQ(LockOnce(&held), 0);
    EXPECT_EQ(g_lock.events, std::vector<std::string>{"create"});
    EXPECT_FALSE(GivenBack());
}

TEST_F(LogLockCollision, CreatedAfterRefusalsAndTakenWhenFreeEvenWithTheBudgetSpent) {
    g_lock.script.deniedAttempts = 2;
    HANDLE held = nullptr;
    EXPECT_EQ(LockOnce(&held), 1);
    EXPECT_EQ(g_lock.events, Repeat({"create", "sleep 500"}, 2) + std::vector<std::string>({"create", "wait 300"}));
    EXPECT_TRUE(GivenBack());
    EXPECT_TRUE(Closed(held));

    g_run.logLockWaitLeftMs = 0;
    g_lock.script.deniedAttempts = 0;
    EXPECT_EQ(LockOnce(&held), 1);
    EXPECT_EQ(g_lock.events, (std::vector<std::string>{"create", "wait 0"}));
    EXPECT_TRUE(GivenBack());
}

TEST_F(LogLockCollision, AnyOtherCreationErrorGivesUpAtOnce) {
    for (DWORD error : {DWORD(ERROR_PATH_NOT_FOUND), DWORD(ERROR_INVALID_HANDLE), DWORD(ERROR_INVALID_PARAMETER)}) {
        SCOPED_TRACE(error);
        g_lock.script.createError = error;
        HANDLE held = reinterpret_cast<HANDLE>(1);
        EXPECT_EQ(LockOnce(&held), 0);
        EXPECT_EQ(held, nullptr);
        EXPECT_EQ(g_lock.events, (std::vector<std::string>{"create"}));
    }
    // Access denied first, then another error: the retries stop there.
    g_lock.script.deniedAttempts = 3;
    g_lock.script.createError = ERROR_INVALID_NAME;
    HANDLE held = nullptr;
    EXPECT_EQ(LockOnce(&held), 0);
    EXPECT_EQ(g_lock.events, Repeat({"create", "sleep 500"}, 3) + std::vector<std::string>{"create"});
    EXPECT_FALSE(GivenBack());
}

TEST_F(LogLockCollision, KeptCountStopsTheWaitsForTheWholeRunAndIsNeverGivenBack) {
    g_lock.script.timeouts = INT_MAX;
    HANDLE held = nullptr;
    EXPECT_EQ(LockOnce(&held), 0);
    EXPECT_EQ(held, g_lock.handedOut);
    EXPECT_EQ(g_lock.events, std::vector<std::string>{"create"} + Repeat({"wait 300"}, kBudgetWaits));
    EXPECT_EQ(g_run.logLockWaitLeftMs, 0u);
    // Every later line looks once, without waiting.
    for (int line = 0; line < 3; ++line) {
        EXPECT_EQ(LockOnce(&held), 0);
        EXPECT_EQ(g_lock.events, (std::vector<std::string>{"create", "wait 0"}));
    }
    // What was never taken was never given back.
    EXPECT_FALSE(GivenBack());
    EXPECT_TRUE(Closed(held));
}

TEST_F(LogLockCollision, TakenAfterSomeTimeoutsWhichTheBudgetIsCharged) {
    g_lock.script.timeouts = kBudgetWaits - 1;
    HANDLE held = nullptr;
    EXPECT_EQ(LockOnce(&held), 1);
    EXPECT_EQ(g_lock.events, std::vector<std::string>{"create"} + Repeat({"wait 300"}, kBudgetWaits));
    EXPECT_TRUE(GivenBack());
    EXPECT_EQ(g_run.logLockWaitLeftMs, 300u);
}

TEST_F(LogLockCollision, FailedWaitGivesUpAtOnceKeepsTheHandleAndGivesNothingBack) {
    g_lock.script.lastWait = WAIT_FAILED;
    HANDLE held = nullptr;
    EXPECT_EQ(LockOnce(&held), 0);
    EXPECT_EQ(held, g_lock.handedOut);
    EXPECT_EQ(g_lock.events, (std::vector<std::string>{"create", "wait 300"}));
    EXPECT_FALSE(GivenBack());
    EXPECT_TRUE(Closed(held));
}

HLOCAL WINAPI NoMemory(UINT, SIZE_T) {
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

TEST_F(LogLockCollision, CreatedWithTheBuiltAttributesOrWithNone) {
    HANDLE held = nullptr;
    EXPECT_EQ(LockOnce(&held), 1);
    std::string built = std::to_string(sizeof(SECURITY_ATTRIBUTES)) + " bytes, 3 entries";
    EXPECT_EQ(g_lock.attributes, std::vector<std::string>{built});

    // Attributes that cannot be built: the semaphore gets the default security.
    g_lock.attributes.clear();
    g_sys.LocalAlloc = NoMemory;
    EXPECT_EQ(LockOnce(&held), 1);
    EXPECT_EQ(g_lock.attributes, std::vector<std::string>{"none"});
}

TEST_F(LogLockCollision, NameComesFromTheWholeOwnPathEvenBeyond260Characters) {
    std::wstring folder = L"C:\\" + std::wstring(300, L'd') + L".v2\\" + std::wstring(40, L'e');
    struct Case {
        std::wstring launcher;
        std::wstring name;
    } cases[] = {
        {folder + L"\\update.exe", L"C:/" + std::wstring(300, L'd') + L".v2/" + std::wstring(40, L'e') + L"/update.LOG"},
        {folder + L"\\update", L"C:/" + std::wstring(300, L'd') + L".LOG"},
        {L"C:\\Pkg\\update", L"C:/Pkg/update.LOG"},
    };
    for (const Case& c : cases) {
        test::PretendStartedAs(c.launcher, L"");
        g_lock.names.clear();
        HANDLE held = nullptr;
        LockOnce(&held);
        ASSERT_EQ(g_lock.names.size(), 1u);
        EXPECT_EQ(g_lock.names[0], c.name + kSuffix);
    }
}

}  // namespace
}  // namespace kesto
