#pragma once
#include <windows.h>

namespace kesto {

// Writes a well-known SID into block, SECURITY_MAX_SID_SIZE bytes.
bool MakeSid(WELL_KNOWN_SID_TYPE type, PSID block);

// Security attributes that make a new folder or file private to the
// launcher: full control for the local system account, the Administrators
// and the launcher's own user (the user of its process token), and nothing
// inherited from the folders above. A folder's entries are inherited by
// every file and folder made inside it. Owns the block that holds the
// token's user; the attributes point into the object itself, so use it where
// it was built.
class CPrivateSA {
public:
    enum Kind { kFolder, kFile };

    CPrivateSA();
    virtual ~CPrivateSA();
    CPrivateSA(const CPrivateSA&) = delete;
    CPrivateSA& operator=(const CPrivateSA&) = delete;

    bool Build(Kind kind);
    // Null unless Build succeeded.
    SECURITY_ATTRIBUTES* Attributes() { return valid_ ? &attributes_ : nullptr; }
    const SECURITY_DESCRIPTOR* Descriptor() const { return valid_ ? &descriptor_ : nullptr; }
    // Whether sid is one of the three trustees; false unless Build succeeded.
    bool IsTrustee(PSID sid) const;

private:
    static constexpr DWORD kEntries = 3;
    // The list header and three entries, each a header, a mask and a SID.
    static constexpr DWORD kAclBytes = sizeof(ACL) + kEntries * (sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE);

    SECURITY_DESCRIPTOR descriptor_;
    SECURITY_ATTRIBUTES attributes_;
    DWORD systemSid_[SECURITY_MAX_SID_SIZE / sizeof(DWORD)];
    DWORD administratorsSid_[SECURITY_MAX_SID_SIZE / sizeof(DWORD)];
    DWORD acl_[kAclBytes / sizeof(DWORD) + 1];
    TOKEN_USER* tokenUser_ = nullptr;
    bool valid_ = false;
};

}  // namespace kesto
