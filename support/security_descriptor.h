#pragma once
// Security for the objects the service creates, written in SDDL. Any thread may call;
// an object is used by one thread at a time. Nothing here throws or logs.
#include "support/unique_resource.h"

#include <windows.h>

#include <string>

// A security descriptor built from SDDL, and the SECURITY_ATTRIBUTES (handle not
// inheritable) that hand it to a Create call. Owns the descriptor; neither copied nor
// moved, since Get() points into the object.
class CSecurityAttributes {
public:
    // On failure IsValid() is false, Get() and Descriptor() are null and Error() holds
    // the converter's error code.
    explicit CSecurityAttributes(const wchar_t* sddl);
    CSecurityAttributes(const CSecurityAttributes&) = delete;
    CSecurityAttributes& operator=(const CSecurityAttributes&) = delete;

    bool IsValid() const { return static_cast<bool>(m_descriptor); }
    SECURITY_ATTRIBUTES* Get() { return IsValid() ? &m_attributes : nullptr; }
    PSECURITY_DESCRIPTOR Descriptor() const { return m_descriptor.Get(); }
    DWORD Error() const { return m_error; }

private:
    UniqueLocalMemory m_descriptor;
    SECURITY_ATTRIBUTES m_attributes = {};
    DWORD m_error = 0;
};

// Creates the directory path (its last component only) with the security sddl gives.
// When that descriptor cannot be built nothing is created: the directory never falls back
// to the security its parent would pass on. False on failure, the cause in the last-error
// value.
bool CreateDirectoryWithSddl(const std::wstring& path, const wchar_t* sddl);
