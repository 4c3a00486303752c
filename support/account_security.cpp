#include "support/account_security.h"

#include "support/unique_resource.h"

#include <aclapi.h>

namespace {

// NT SERVICE\TrustedInstaller, which owns the system's own files:
// S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464.
constexpr DWORD kTrustedInstallerSubAuthorities[] = {80u, 956008885u, 3418522649u, 1831038044u,
                                                     1853292631u, 2271478464u};

}  // namespace

CSidBuffer::CSidBuffer(WELL_KNOWN_SID_TYPE type)
{
    DWORD size = sizeof(m_bytes);
    m_valid = CreateWellKnownSid(type, /*DomainSid=*/nullptr, m_bytes, &size) != FALSE;
}

CSidBuffer::CSidBuffer(SID_IDENTIFIER_AUTHORITY authority, const DWORD* subAuthorities,
                       std::size_t count)
{
    if (count > SID_MAX_SUB_AUTHORITIES)
        return;
    m_valid = InitializeSid(m_bytes, &authority, static_cast<BYTE>(count)) != FALSE;
    for (std::size_t i = 0; m_valid && i < count; ++i)
        *GetSidSubAuthority(m_bytes, static_cast<DWORD>(i)) = subAuthorities[i];
}

bool SameSid(PSID a, PSID b) { return a && b && EqualSid(a, b); }

std::vector<BYTE> TokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind)
{
    DWORD size = 0;
    GetTokenInformation(token, kind, /*TokenInformation=*/nullptr, 0, &size);
    if (size == 0)
        return std::vector<BYTE>();
    std::vector<BYTE> buffer(size);
    if (!GetTokenInformation(token, kind, buffer.data(), size, &size))
        return std::vector<BYTE>();
    return buffer;
}

std::vector<BYTE> TokenUserSid(HANDLE token)
{
    const std::vector<BYTE> buffer = TokenInformation(token, TokenUser);
    if (buffer.empty())
        return std::vector<BYTE>();
    PSID sid = reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid;
    if (!sid || !IsValidSid(sid))
        return std::vector<BYTE>();
    const BYTE* bytes = static_cast<const BYTE*>(sid);
    return std::vector<BYTE>(bytes, bytes + GetLengthSid(sid));
}

std::vector<BYTE> ProcessUserSid()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return std::vector<BYTE>();
    const UniqueHandle owned(token);
    return TokenUserSid(owned.Get());
}

bool IsTrustedOwner(PSID owner, PSID self)
{
    CSidBuffer system(WinLocalSystemSid);
    CSidBuffer administrators(WinBuiltinAdministratorsSid);
    CSidBuffer trustedInstaller(SECURITY_NT_AUTHORITY, kTrustedInstallerSubAuthorities,
                                sizeof(kTrustedInstallerSubAuthorities) / sizeof(DWORD));
    return SameSid(owner, system.Get()) || SameSid(owner, administrators.Get()) ||
           SameSid(owner, trustedInstaller.Get()) || SameSid(owner, self);
}

UniqueLocalMemory KernelObjectOwner(HANDLE object, PSID& owner)
{
    owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                        /*ppsidGroup=*/nullptr, /*ppDacl=*/nullptr, /*ppSacl=*/nullptr,
                        &descriptor) != ERROR_SUCCESS) {
        owner = nullptr;
        return UniqueLocalMemory();
    }
    return UniqueLocalMemory(descriptor);
}

bool HasTrustedOwner(HANDLE object, PSID self)
{
    PSID owner = nullptr;
    const UniqueLocalMemory held = KernelObjectOwner(object, owner);
    return held && IsTrustedOwner(owner, self);
}
