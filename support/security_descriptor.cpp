#include "support/security_descriptor.h"

#include <sddl.h>

CSecurityAttributes::CSecurityAttributes(const wchar_t* sddl)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!sddl || !ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1,
                                                                       &descriptor, nullptr)) {
        m_error = sddl ? GetLastError() : static_cast<DWORD>(ERROR_INVALID_PARAMETER);
        return;
    }
    m_descriptor.Reset(descriptor);
    m_attributes.nLength = sizeof(m_attributes);
    m_attributes.lpSecurityDescriptor = descriptor;
    m_attributes.bInheritHandle = FALSE;
}

bool CreateDirectoryWithSddl(const std::wstring& path, const wchar_t* sddl)
{
    CSecurityAttributes security(sddl);
    if (!security.IsValid()) {
        SetLastError(security.Error());
        return false;
    }
    return CreateDirectoryW(path.c_str(), security.Get()) != FALSE;
}
