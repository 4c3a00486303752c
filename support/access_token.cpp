#include "support/access_token.h"

std::vector<BYTE> CAccessToken::Information(TOKEN_INFORMATION_CLASS kind) const
{
    DWORD size = 0;
    GetTokenInformation(m_token.Get(), kind, /*TokenInformation=*/nullptr, 0, &size);
    if (size == 0)
        return std::vector<BYTE>();
    std::vector<BYTE> buffer(size);
    if (!GetTokenInformation(m_token.Get(), kind, buffer.data(), size, &size))
        return std::vector<BYTE>();
    return buffer;
}

CSid CAccessToken::User() const
{
    const std::vector<BYTE> buffer = Information(TokenUser);
    if (buffer.empty())
        return CSid();
    return CSid::FromPSID(reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid);
}

bool CAccessToken::IsElevated() const
{
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    return GetTokenInformation(m_token.Get(), TokenElevation, &elevation, sizeof(elevation),
                               &size) &&
           elevation.TokenIsElevated;
}

bool CAccessToken::HasEnabledGroup(PSID group) const
{
    const std::vector<BYTE> buffer = Information(TokenGroups);
    if (buffer.empty() || !group)
        return false;
    const TOKEN_GROUPS* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
        const DWORD attributes = groups->Groups[i].Attributes;
        if (SameSid(groups->Groups[i].Sid, group) && (attributes & SE_GROUP_ENABLED) &&
            !(attributes & SE_GROUP_USE_FOR_DENY_ONLY))
            return true;
    }
    return false;
}

bool CAccessToken::IsElevatedOrLocalSystem() const
{
    const CSid user = User();
    if (!user)
        return false;
    if (CSid(WinLocalSystemSid).Equal(user.Get()))
        return true;
    if (!IsElevated())
        return false;
    const CSid administrators(WinBuiltinAdministratorsSid);
    return HasEnabledGroup(administrators.Get());
}

CAccessToken ProcessToken(HANDLE process)
{
    HANDLE token = nullptr;
    if (!process || !OpenProcessToken(process, TOKEN_QUERY, &token))
        token = nullptr;
    return CAccessToken(token);
}

CSid ProcessUserSid() { return ProcessToken().User(); }
