#pragma once
// Security descriptors: built from SDDL for the objects the service creates, or read from
// an object that exists; and whether the owner and DACL of an object that someone else may
// have made first or changed are trusted. Any thread may call; an object is used by one
// thread at a time. Nothing here throws or logs.
#include "support/sid.h"
#include "support/unique_resource.h"

#include <windows.h>
#include <accctrl.h>

#include <string>

// A security descriptor in memory of its own (from LocalAlloc). Move-only.
class CSecurityDescriptor {
public:
    CSecurityDescriptor() = default;

    // Releases any descriptor held, then builds one from sddl. ERROR_SUCCESS, the
    // converter's code, or ERROR_INVALID_PARAMETER for a null sddl; holds none on failure.
    DWORD BuildFromSddl(const wchar_t* sddl);
    // Releases any descriptor held, then reads the parts of the security of object (opened
    // with READ_CONTROL) that parts names (OWNER_SECURITY_INFORMATION, ...). ERROR_SUCCESS
    // or the system's code; holds none on failure.
    DWORD ReadFromHandle(HANDLE object, SE_OBJECT_TYPE type, SECURITY_INFORMATION parts);

    // Null when none is held.
    PSECURITY_DESCRIPTOR Get() const { return m_descriptor.Get(); }
    explicit operator bool() const { return static_cast<bool>(m_descriptor); }
    // The owner, which lies in the descriptor and lives as long as it; null when no
    // descriptor or no owner is held.
    PSID Owner() const;

private:
    UniqueLocalMemory m_descriptor;
};

// A security descriptor built from SDDL, and the SECURITY_ATTRIBUTES (handle not
// inheritable) that hand it to a Create call. Owns the descriptor; neither copied nor
// moved, since Get() points into the object.
class CSecurityAttributes {
public:
    // Holds nothing until BuildFromSddl succeeds.
    CSecurityAttributes() = default;
    // BuildFromSddl(sddl), for a caller that needs only to know whether it worked.
    explicit CSecurityAttributes(const wchar_t* sddl) { BuildFromSddl(sddl); }
    CSecurityAttributes(const CSecurityAttributes&) = delete;
    CSecurityAttributes& operator=(const CSecurityAttributes&) = delete;

    // Releases any descriptor held, then builds one from sddl. ERROR_SUCCESS, the
    // converter's code, or ERROR_INVALID_PARAMETER for a null sddl; on failure IsValid()
    // is false and Get() and Descriptor() are null.
    DWORD BuildFromSddl(const wchar_t* sddl);

    bool IsValid() const { return static_cast<bool>(m_descriptor); }
    SECURITY_ATTRIBUTES* Get() { return IsValid() ? &m_attributes : nullptr; }
    PSECURITY_DESCRIPTOR Descriptor() const { return m_descriptor.Get(); }

private:
    CSecurityDescriptor m_descriptor;
    SECURITY_ATTRIBUTES m_attributes = {};
};

// Creates the directory path (its last component only) with the security sddl gives.
// When that descriptor cannot be built nothing is created: the directory never falls back
// to the security its parent would pass on. ERROR_SUCCESS, or the code of the failing step
// (the SDDL converter's, or CreateDirectoryW's).
DWORD CreateDirectoryWithSddl(const std::wstring& path, const wchar_t* sddl);

// The accounts that may own what the service trusts (its log folder, the named objects it
// shares with peers): SYSTEM, Administrators, TrustedInstaller, and self, the account the
// process runs as (null for none), since whoever controls that account controls the process
// anyway. False for a null owner.
bool IsTrustedOwner(PSID owner, PSID self);

// IsTrustedOwner for the owner of a kernel object (an event, a timer, a mutex) opened with
// READ_CONTROL. False when the owner cannot be read.
bool HasTrustedOwner(HANDLE object, PSID self);

// The trust decision over the owner and DACL of a file or folder. Trusted when the owner is
// trusted (IsTrustedOwner, with self as there), and no entry allows anyone but those (or
// CREATOR OWNER and OWNER RIGHTS, which stand for the owner) a right to change the folder
// or what it holds: write data or add files, append or add subfolders, write extended
// attributes or attributes, delete, delete children, change permissions, take ownership,
// generic write or generic all. Inherited and inherit-only entries count like the others;
// deny entries never grant and are passed over. A null or invalid descriptor, a missing
// owner, a missing or null DACL, and an entry of a kind not understood here make it
// untrusted.
//
// (Wine reports every folder its user made as owned by that user, with full control for
// it, whatever owner and DACL the folder was given: self then decides.)
bool IsTrustedFileSecurity(PSECURITY_DESCRIPTOR descriptor, PSID self);
