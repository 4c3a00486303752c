#pragma once
// SIDs held by value, and their comparison. Any thread may call; nothing here logs or
// throws.
#include <windows.h>

#include <cstddef>

// A SID in a buffer of its own, copied and moved as a value. Get() is null when it could
// not be built, and for a default-constructed one.
class CSid {
public:
    CSid() = default;
    // A well-known SID (WinLocalSystemSid, WinBuiltinAdministratorsSid, ...) of this
    // computer.
    explicit CSid(WELL_KNOWN_SID_TYPE type);
    // The SID of authority with count sub-authorities; none for more than
    // SID_MAX_SUB_AUTHORITIES.
    CSid(SID_IDENTIFIER_AUTHORITY authority, const DWORD* subAuthorities, std::size_t count);
    // A copy of sid; empty for a null or invalid one.
    static CSid FromPSID(PSID sid);

    // Points into this object; null when it holds no SID.
    PSID Get() const { return m_valid ? const_cast<BYTE*>(m_bytes) : nullptr; }
    explicit operator bool() const { return m_valid; }
    // True when this holds a SID and sid is an equal one.
    bool Equal(PSID sid) const;

private:
    alignas(DWORD) BYTE m_bytes[SECURITY_MAX_SID_SIZE] = {};
    bool m_valid = false;
};

// True when both are SIDs and equal.
bool SameSid(PSID a, PSID b);

// NT SERVICE\TrustedInstaller, which owns the system's own files:
// S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464.
CSid TrustedInstallerSid();
