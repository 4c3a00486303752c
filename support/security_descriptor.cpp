#include "support/security_descriptor.h"

#include <aclapi.h>
#include <sddl.h>

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
