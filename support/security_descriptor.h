#pragma once
// Security descriptors written in SDDL, for the kernel objects and folders the service
// creates with an explicit DACL.
#include "support/unique_resource.h"

#include <windows.h>

#include <string>

class CSecurityDescriptor {
public:
    // Builds the descriptor from sddl. On failure holds nothing and returns false; the
    // thread's last error tells why.
    bool FromSddl(const wchar_t* sddl);
    PSECURITY_DESCRIPTOR Get() const { return m_descriptor.Get(); }
    explicit operator bool() const { return static_cast<bool>(m_descriptor); }
    // Attributes naming this descriptor (or default security when it holds none), with
    // handles not inherited. Valid while this object lives.
    SECURITY_ATTRIBUTES Attributes() const;

private:
    UniqueLocalMemory m_descriptor;
};

// The DACL of a descriptor in SDDL form ("D:P(A;;...)..."), or the empty string on failure.
std::wstring DaclToSddl(PSECURITY_DESCRIPTOR descriptor);
