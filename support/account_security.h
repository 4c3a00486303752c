#pragma once
// Accounts and owners: the SIDs the service trusts, the account a token belongs to, and
// whether an object that someone else may have made first is owned by a trusted account.
// Any thread may call; nothing here logs, and only memory failures throw (std::bad_alloc).
#include <windows.h>

#include "support/unique_resource.h"

#include <cstddef>
#include <vector>

// A SID in a buffer of its own; Get() is null when it could not be built.
class CSidBuffer {
public:
    explicit CSidBuffer(WELL_KNOWN_SID_TYPE type);
    CSidBuffer(SID_IDENTIFIER_AUTHORITY authority, const DWORD* subAuthorities, std::size_t count);
    PSID Get() { return m_valid ? static_cast<PSID>(m_bytes) : nullptr; }

private:
    alignas(DWORD) BYTE m_bytes[SECURITY_MAX_SID_SIZE] = {};
    bool m_valid = false;
};

// True when both are SIDs and equal.
bool SameSid(PSID a, PSID b);

// A token's information of one class, in a buffer of the size it needs; empty on failure.
std::vector<BYTE> TokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind);

// The SID of the account a token (opened with TOKEN_QUERY) belongs to; empty when it
// cannot be read.
std::vector<BYTE> TokenUserSid(HANDLE token);
// The same for this process's own token.
std::vector<BYTE> ProcessUserSid();

// The accounts that may own what the service trusts (its log folder, the named objects it
// shares with peers): SYSTEM, Administrators, TrustedInstaller, and self, the account the
// process runs as (null for none), since whoever controls that account controls the process
// anyway. False for a null owner.
bool IsTrustedOwner(PSID owner, PSID self);

// The owner of a kernel object (an event, a timer, a mutex) opened with READ_CONTROL. The
// SID lies in the returned security descriptor and lives as long as it; when the owner
// cannot be read, the descriptor is empty and owner null.
UniqueLocalMemory KernelObjectOwner(HANDLE object, PSID& owner);

// IsTrustedOwner for the owner of a kernel object opened with READ_CONTROL. False when the
// owner cannot be read.
bool HasTrustedOwner(HANDLE object, PSID self);
