#include "support/security_descriptor.h"

#include <sddl.h>

bool CSecurityDescriptor::FromSddl(const wchar_t* sddl)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
        m_descriptor.Reset();
        return false;
    }
    m_descriptor.Reset(descriptor);
    return true;
}

SECURITY_ATTRIBUTES CSecurityDescriptor::Attributes() const
{
    SECURITY_ATTRIBUTES attributes = {};
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = m_descriptor.Get();
    attributes.bInheritHandle = FALSE;
    return attributes;
}

std::wstring DaclToSddl(PSECURITY_DESCRIPTOR descriptor)
{
    LPWSTR text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                              DACL_SECURITY_INFORMATION, &text,
                                                              nullptr))
        return std::wstring();
    UniqueLocalMemory owner(text);
    return std::wstring(text);
}
