#pragma once
#include <windows.h>

#include <string>

#include "platform/handles.h"

namespace kesto {

// Security attributes whose access list lets the local system account, the
// Administrators and the Users read, write, execute and delete. The
// attributes point into the object itself: use it where it was built.
class CLogOutPxSA {
public:
    CLogOutPxSA();
    virtual ~CLogOutPxSA();
    CLogOutPxSA(const CLogOutPxSA&) = delete;
    CLogOutPxSA& operator=(const CLogOutPxSA&) = delete;

    void Build();
    bool Valid() const { return valid_ != 0; }
    // The attributes to hand to the system: null unless Build succeeded.
    SECURITY_ATTRIBUTES* AttributesOrNull() { return Valid() ? &attributes_ : nullptr; }
    const ACL* Acl() const { return acl_; }

private:
    SECURITY_DESCRIPTOR descriptor_;
    SECURITY_ATTRIBUTES attributes_;
    PSID systemSid_ = nullptr;
    PSID administratorsSid_ = nullptr;
    PSID usersSid_ = nullptr;
    PACL acl_ = nullptr;
    int valid_ = 0;
};

// The cross-process log lock: a named semaphore of count 1, shared by every
// launcher started from the same file. Any process may open the semaphore and
// keep its count, so the waiting is bounded for the whole run, not per line:
// once the run's budget (RunState::logLockWaitLeftMs) is spent, a line takes
// the lock only when it is free at once. The caller writes whether or not it
// was taken, and the count is given back only when it was.
class CLogOutPxCollision {
public:
    static constexpr DWORD kCreateRetryMs = 500;
    static constexpr DWORD kWaitMs = 300;

    CLogOutPxCollision() = default;
    virtual ~CLogOutPxCollision();
    CLogOutPxCollision(const CLogOutPxCollision&) = delete;
    CLogOutPxCollision& operator=(const CLogOutPxCollision&) = delete;

    // 1 when the semaphore was taken. The handle is kept whenever the
    // semaphore could be created or opened, also when this returns 0.
    BOOL Lock();
    HANDLE Handle() const { return semaphore_.get(); }

private:
    UniqueHandle semaphore_;
    bool taken_ = false;
};

// The semaphore name for a launcher at modulePath: the path without its last
// extension, ".LOG", and a fixed suffix. Object names may not hold
// backslashes, so they become forward slashes, which name the same file.
std::wstring LogLockName(const std::wstring& modulePath);

}  // namespace kesto
