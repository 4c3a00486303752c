#include "support/sid.h"

CSid::CSid(WELL_KNOWN_SID_TYPE type)
{
    DWORD size = sizeof(m_bytes);
    m_valid = CreateWellKnownSid(type, /*DomainSid=*/nullptr, m_bytes, &size) != FALSE;
}

CSid::CSid(SID_IDENTIFIER_AUTHORITY authority, const DWORD* subAuthorities, std::size_t count)
{
    if (count > SID_MAX_SUB_AUTHORITIES)
        return;
    m_valid = InitializeSid(m_bytes, &authority, static_cast<BYTE>(count)) != FALSE;
    for (std::size_t i = 0; m_valid && i < count; ++i)
        *GetSidSubAuthority(m_bytes, static_cast<DWORD>(i)) = subAuthorities[i];
}

CSid CSid::FromPSID(PSID sid)
{
    CSid copy;
    if (sid && IsValidSid(sid))
        copy.m_valid = CopySid(sizeof(copy.m_bytes), copy.m_bytes, sid) != FALSE;
    return copy;
}

bool CSid::Equal(PSID sid) const { return SameSid(Get(), sid); }

bool SameSid(PSID a, PSID b) { return a && b && EqualSid(a, b); }

CSid TrustedInstallerSid()
{
    constexpr DWORD kSubAuthorities[] = {80u, 956008885u, 3418522649u, 1831038044u, 1853292631u,
                                         2271478464u};
    return CSid(SECURITY_NT_AUTHORITY, kSubAuthorities, sizeof(kSubAuthorities) / sizeof(DWORD));
}
