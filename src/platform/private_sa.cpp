#include "platform/private_sa.h"

#include "platform/handles.h"
#include "platform/syscalls.h"

namespace kesto {

bool MakeSid(WELL_KNOWN_SID_TYPE type, PSID block) {
    DWORD size = SECURITY_MAX_SID_SIZE;
    return g_sys.CreateWellKnownSid(type, nullptr, block, &size) != FALSE;
}

CPrivateSA::CPrivateSA() {
    ZeroMemory(&descriptor_, sizeof(descriptor_));
    ZeroMemory(&attributes_, sizeof(attributes_));
}

CPrivateSA::~CPrivateSA() {
    if (tokenUser_ != nullptr) g_sys.LocalFree(tokenUser_);
    tokenUser_ = nullptr;
}

bool CPrivateSA::Build(Kind kind) {
    valid_ = false;
    UniqueHandle token;
    if (!g_sys.OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) return false;
    DWORD size = 0;
    g_sys.GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    if (size == 0) return false;
    if (tokenUser_ != nullptr) g_sys.LocalFree(tokenUser_);
    tokenUser_ = static_cast<TOKEN_USER*>(g_sys.LocalAlloc(LMEM_ZEROINIT, size));
    if (tokenUser_ == nullptr) return false;
    if (!g_sys.GetTokenInformation(token.get(), TokenUser, tokenUser_, size, &size)) return false;

    if (!MakeSid(WinLocalSystemSid, systemSid_) || !MakeSid(WinBuiltinAdministratorsSid, administratorsSid_))
        return false;
    PACL acl = reinterpret_cast<PACL>(acl_);
    if (!g_sys.InitializeAcl(acl, sizeof(acl_), ACL_REVISION)) return false;
    PSID user = tokenUser_->User.Sid;
    // Run as the local system account, the user is that account: one entry.
    PSID trustees[kEntries] = {systemSid_, administratorsSid_, g_sys.EqualSid(user, systemSid_) ? nullptr : user};
    const BYTE inheritance = kind == kFolder ? OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE : 0;
    for (PSID sid : trustees) {
        if (sid != nullptr && !g_sys.AddAccessAllowedAceEx(acl, ACL_REVISION, inheritance, FILE_ALL_ACCESS, sid))
            return false;
    }
    if (!g_sys.InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) ||
        !g_sys.SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) ||
        !g_sys.SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
        return false;

    attributes_.nLength = sizeof(SECURITY_ATTRIBUTES);
    attributes_.lpSecurityDescriptor = &descriptor_;
    attributes_.bInheritHandle = FALSE;
    valid_ = true;
    return true;
}

bool CPrivateSA::IsTrustee(PSID sid) const {
    return valid_ && (g_sys.EqualSid(sid, const_cast<DWORD*>(systemSid_)) ||
                      g_sys.EqualSid(sid, const_cast<DWORD*>(administratorsSid_)) ||
                      g_sys.EqualSid(sid, tokenUser_->User.Sid));
}

}  // namespace kesto
