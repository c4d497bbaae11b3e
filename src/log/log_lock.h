#pragma once
#include <windows.h>

#include <string>

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
// launcher started from the same file. Taking it is bounded in time; the
// caller writes whether or not it was taken.
class CLogOutPxCollision {
public:
    static constexpr int kCreateAttempts = 250;
    static constexpr DWORD kCreateRetryMs = 500;
    static constexpr int kWaits = 500;
    static constexpr DWORD kWaitMs = 300;

    CLogOutPxCollision() = default;
    virtual ~CLogOutPxCollision();
    CLogOutPxCollision(const CLogOutPxCollision&) = delete;
    CLogOutPxCollision& operator=(const CLogOutPxCollision&) = delete;

    // 1 when the semaphore was taken. The handle is kept whenever the
    // semaphore could be created or opened, also when this returns 0.
    BOOL Lock();
    HANDLE Handle() const { return semaphore_; }

private:
    HANDLE semaphore_ = nullptr;
};

// The semaphore name for a launcher at modulePath: the path without its last
// extension, ".LOG", and a fixed suffix. Object names may not hold
// backslashes, so they become forward slashes, which name the same file.
std::wstring LogLockName(const std::wstring& modulePath);

}  // namespace kesto
