#include "support/security_descriptor.h"

#include <aclapi.h>
#include <sddl.h>

namespace {

// Every right that changes a file or folder, its security or what a folder holds.
constexpr ACCESS_MASK kChangingRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                        FILE_WRITE_ATTRIBUTES | FILE_DELETE_CHILD | DELETE |
                                        WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

class CTrustedSids {
public:
    explicit CTrustedSids(PSID self) : m_self(self) {}

    // The accounts that may own the file or folder.
    bool MayOwn(PSID sid) { return IsTrustedOwner(sid, m_self); }
    // The trustees an entry may give changing rights to. CREATOR OWNER in an inherited
    // entry becomes the creator of the file or folder within, who could create it only
    // with a trusted account; OWNER RIGHTS stands for the owner. CREATOR GROUP is not
    // among them: it becomes the creator's primary group, which may be any users.
    bool MayChange(PSID sid)
    {
        return MayOwn(sid) || m_creatorOwner.Equal(sid) || m_ownerRights.Equal(sid);
    }

private:
    PSID m_self;
    CSid m_creatorOwner{WinCreatorOwnerSid};
    CSid m_ownerRights{WinCreatorOwnerRightsSid};
};

}  // namespace

DWORD CSecurityDescriptor::BuildFromSddl(const wchar_t* sddl)
{
    m_descriptor.Reset();
    if (!sddl)
        return ERROR_INVALID_PARAMETER;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor,
                                                              /*SecurityDescriptorSize=*/nullptr))
        return GetLastError();
    m_descriptor.Reset(descriptor);
    return ERROR_SUCCESS;
}

DWORD CSecurityDescriptor::ReadFromHandle(HANDLE object, SE_OBJECT_TYPE type,
                                          SECURITY_INFORMATION parts)
{
    m_descriptor.Reset();
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    // Returns its code rather than setting the last error.
    const DWORD status = GetSecurityInfo(object, type, parts, /*ppsidOwner=*/nullptr,
                                         /*ppsidGroup=*/nullptr, /*ppDacl=*/nullptr,
                                         /*ppSacl=*/nullptr, &descriptor);
    if (status != ERROR_SUCCESS)
        return status;
    m_descriptor.Reset(descriptor);
    return ERROR_SUCCESS;
}

PSID CSecurityDescriptor::Owner() const
{
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (!m_descriptor || !GetSecurityDescriptorOwner(m_descriptor.Get(), &owner, &defaulted))
        return nullptr;
    return owner;
}

DWORD CSecurityAttributes::BuildFromSddl(const wchar_t* sddl)
{
    m_attributes = SECURITY_ATTRIBUTES{};
    const DWORD error = m_descriptor.BuildFromSddl(sddl);
    if (error != ERROR_SUCCESS)
        return error;
    m_attributes.nLength = sizeof(m_attributes);
    m_attributes.lpSecurityDescriptor = m_descriptor.Get();
    m_attributes.bInheritHandle = FALSE;
    return ERROR_SUCCESS;
}

DWORD CreateDirectoryWithSddl(const std::wstring& path, const wchar_t* sddl)
{
    CSecurityAttributes security;
    const DWORD error = security.BuildFromSddl(sddl);
    if (error != ERROR_SUCCESS)
        return error;
    if (!CreateDirectoryW(path.c_str(), security.Get()))
        return GetLastError();
    return ERROR_SUCCESS;
}

bool IsTrustedOwner(PSID owner, PSID self)
{
    return CSid(WinLocalSystemSid).Equal(owner) ||
           CSid(WinBuiltinAdministratorsSid).Equal(owner) || TrustedInstallerSid().Equal(owner) ||
           SameSid(owner, self);
}

bool HasTrustedOwner(HANDLE object, PSID self)
{
    CSecurityDescriptor security;
    return security.ReadFromHandle(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION) ==
               ERROR_SUCCESS &&
           IsTrustedOwner(security.Owner(), self);
}

bool IsTrustedFileSecurity(PSECURITY_DESCRIPTOR descriptor, PSID self)
{
    if (!descriptor || !IsValidSecurityDescriptor(descriptor))
        return false;
    CTrustedSids trusted(self);
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || !trusted.MayOwn(owner))
        return false;
    BOOL present = FALSE;
    PACL dacl = nullptr;
    // Without a DACL, or with a null one, everyone has every right.
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present || !dacl)
        return false;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace))
            return false;
        switch (static_cast<const ACE_HEADER*>(ace)->AceType) {
        case ACCESS_DENIED_ACE_TYPE:
        case ACCESS_DENIED_OBJECT_ACE_TYPE:
        case ACCESS_DENIED_CALLBACK_ACE_TYPE:
        case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
            // A deny may hide an allow that follows it from some members of a group but not
            // from others; the allow alone decides.
            continue;
        case ACCESS_ALLOWED_ACE_TYPE:
        case ACCESS_ALLOWED_CALLBACK_ACE_TYPE: {
            // Both begin with the header, the mask and the SID.
            ACCESS_ALLOWED_ACE* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
            if ((allowed->Mask & kChangingRights) != 0 && !trusted.MayChange(&allowed->SidStart))
                return false;
            continue;
        }
        default:
            return false;
        }
    }
    return true;
}
