#include "log/log_lock.h"

#include "launcher/run_state.h"
#include "platform/module_path.h"
#include "platform/private_sa.h"
#include "platform/syscalls.h"

namespace kesto {

namespace {
constexpr DWORD kSidBlockSize = SECURITY_MAX_SID_SIZE;  // 68 bytes
constexpr DWORD kAccessMask = GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | DELETE;
constexpr BYTE kAceFlags = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;

void FreeBlock(void* block) {
    if (block != nullptr) g_sys.LocalFree(block);
}
}  // namespace

CLogOutPxSA::CLogOutPxSA() {
    ZeroMemory(&descriptor_, sizeof(descriptor_));
    ZeroMemory(&attributes_, sizeof(attributes_));
}

CLogOutPxSA::~CLogOutPxSA() {
    FreeBlock(systemSid_);
    systemSid_ = nullptr;
    FreeBlock(administratorsSid_);
    administratorsSid_ = nullptr;
    FreeBlock(usersSid_);
    usersSid_ = nullptr;
    FreeBlock(acl_);
    acl_ = nullptr;
}

void CLogOutPxSA::Build() {
    valid_ = 0;
    ZeroMemory(&descriptor_, sizeof(descriptor_));
    ZeroMemory(&attributes_, sizeof(attributes_));

    systemSid_ = g_sys.LocalAlloc(LMEM_ZEROINIT, kSidBlockSize);
    administratorsSid_ = g_sys.LocalAlloc(LMEM_ZEROINIT, kSidBlockSize);
    usersSid_ = g_sys.LocalAlloc(LMEM_ZEROINIT, kSidBlockSize);
    if (systemSid_ == nullptr || administratorsSid_ == nullptr || usersSid_ == nullptr) return;

    if (!MakeSid(WinLocalSystemSid, systemSid_) || !MakeSid(WinBuiltinAdministratorsSid, administratorsSid_) ||
        !MakeSid(WinBuiltinUsersSid, usersSid_)) {
        return;
    }

    // The list header (8 bytes) and, per entry, its header and mask (4 + 4).
    DWORD aclSize =
        g_sys.GetLengthSid(usersSid_) + g_sys.GetLengthSid(administratorsSid_) + g_sys.GetLengthSid(systemSid_) + 32;
    acl_ = static_cast<PACL>(g_sys.LocalAlloc(LMEM_ZEROINIT, aclSize));
    if (acl_ == nullptr) return;
    if (!g_sys.InitializeAcl(acl_, aclSize, ACL_REVISION)) return;
    for (PSID sid : {systemSid_, administratorsSid_, usersSid_}) {
        if (!g_sys.AddAccessAllowedAceEx(acl_, ACL_REVISION, kAceFlags, kAccessMask, sid)) return;
    }
    if (!g_sys.InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION)) return;
    if (!g_sys.SetSecurityDescriptorDacl(&descriptor_, TRUE, acl_, FALSE)) return;

    attributes_.nLength = sizeof(SECURITY_ATTRIBUTES);
    attributes_.lpSecurityDescriptor = &descriptor_;
    attributes_.bInheritHandle = FALSE;
    valid_ = 1;
}

std::wstring LogLockName(const std::wstring& modulePath) {
    std::wstring name = modulePath;
    size_t dot = name.rfind(L'.');
    if (dot != std::wstring::npos) name.resize(dot);
    name += L".LOG-4DA00EA1-D771-430E-B79B-EC4D6915B3A7";
    for (wchar_t& c : name) {
        if (c == L'\\') c = L'/';
    }
    return name;
}

BOOL CLogOutPxCollision::Lock() {
    std::wstring modulePath;
    GetOwnModulePath(modulePath);
    std::wstring name = LogLockName(modulePath);

    CLogOutPxSA security;
    security.Build();

    // Every sleep and wait is charged to the run's budget, by the clock, so
    // that a holder who lets go just before each time-out gains nothing.
    const DWORD start = g_sys.GetTickCount();
    const DWORD budget = g_run.logLockWaitLeftMs;
    auto left = [&]() -> DWORD {
        DWORD spent = g_sys.GetTickCount() - start;
        return spent < budget ? budget - spent : 0;
    };
    for (;;) {
        semaphore_.reset(g_sys.CreateSemaphoreW(security.AttributesOrNull(), 1, 1, name.c_str()));
        if (semaphore_.valid() || ::GetLastError() != ERROR_ACCESS_DENIED || left() == 0) break;
        g_sys.Sleep(left() < kCreateRetryMs ? left() : kCreateRetryMs);
    }
    while (semaphore_.valid()) {
        DWORD result = g_sys.WaitForSingleObject(semaphore_.get(), left() < kWaitMs ? left() : kWaitMs);
        if (result == WAIT_OBJECT_0) taken_ = true;
        if (result != WAIT_TIMEOUT || left() == 0) break;
    }
    g_run.logLockWaitLeftMs = left();
    return taken_ ? 1 : 0;
}

CLogOutPxCollision::~CLogOutPxCollision() {
    // Only a count this lock took is given back: one that another holder
    // keeps must not be handed to a second writer.
    if (taken_) ::ReleaseSemaphore(semaphore_.get(), 1, nullptr);
}

}  // namespace kesto
